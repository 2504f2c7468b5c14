#include "bridge/tls_files.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace kelto::bridge {
namespace {

// OpenSSL's reason for the last failure, oldest first.
std::string OpenSslReason() {
  std::string reason;
  while (const unsigned long code = ERR_get_error()) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    if (!reason.empty()) reason += "; ";
    reason += text;
  }
  return reason.empty() ? "not usable" : reason;
}

std::optional<std::string> Unreadable(const char* option, const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return std::string("cannot read ") + option + " " + path + ": " + std::strerror(errno);
  }
  std::fclose(file);
  return std::nullopt;
}

// An encrypted key would make OpenSSL ask for its passphrase on the
// terminal of a service: refuse it instead.
int NoPassphrase(char*, int, int, void*) { return 0; }

}  // namespace

std::optional<std::string> CheckTlsFiles(const std::string& ca_file, const std::string& cert_file,
                                         const std::string& key_file) {
  for (const auto& [option, path] :
       {std::pair{"--cafile", &ca_file}, std::pair{"--cert", &cert_file},
        std::pair{"--key", &key_file}}) {
    if (path->empty()) continue;
    if (std::optional<std::string> why = Unreadable(option, *path)) return why;
  }
  if (ca_file.empty()) return std::nullopt;
  const std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> context(SSL_CTX_new(TLS_client_method()),
                                                                  &SSL_CTX_free);
  if (!context) return "cannot set TLS up: " + OpenSslReason();
  ERR_clear_error();
  SSL_CTX_set_default_passwd_cb(context.get(), &NoPassphrase);
  if (SSL_CTX_load_verify_locations(context.get(), ca_file.c_str(), nullptr) != 1) {
    return "--cafile " + ca_file + " holds no PEM certificate: " + OpenSslReason();
  }
  if (cert_file.empty()) return std::nullopt;
  if (SSL_CTX_use_certificate_chain_file(context.get(), cert_file.c_str()) != 1) {
    return "--cert " + cert_file + " holds no PEM certificate: " + OpenSslReason();
  }
  // OpenSSL refuses a key that does not belong to the certificate here
  // already ("key values mismatch"), or one that is not PEM.
  if (SSL_CTX_use_PrivateKey_file(context.get(), key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    return "--key " + key_file + " cannot be used with --cert " + cert_file + ": " +
           OpenSslReason();
  }
  if (SSL_CTX_check_private_key(context.get()) != 1) {
    return "--key " + key_file + " does not belong to --cert " + cert_file + ": " + OpenSslReason();
  }
  return std::nullopt;
}

}  // namespace kelto::bridge
