// The page's files, embedded into the binary at build time (see
// embed_assets.cmake), so the page works without any other server.
#ifndef KELTOCTL_SERVE_WEB_ASSETS_H_
#define KELTOCTL_SERVE_WEB_ASSETS_H_

#include <cstddef>
#include <string_view>

namespace keltoctl::serve {

struct WebAsset {
  const char* path;  // "/index.html"
  const char* content_type;
  const unsigned char* data;
  size_t size;
};

// The asset served at `path` ("/" is "/index.html"), or null.
const WebAsset* FindWebAsset(std::string_view path);

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_WEB_ASSETS_H_
