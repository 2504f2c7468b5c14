#include "bridge/bridge_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace kelto::testing {
namespace {

bool Accepts(int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return ok;
}

std::vector<std::string> MergedEnvironment(const std::vector<std::string>& overrides) {
  std::vector<std::string> merged;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    bool replaced = false;
    for (const std::string& override_entry : overrides) {
      replaced = replaced || override_entry.substr(0, override_entry.find('=')) == name;
    }
    if (!replaced) merged.push_back(text);
  }
  merged.insert(merged.end(), overrides.begin(), overrides.end());
  return merged;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
  std::vector<char*> pointers;
  for (std::string& text : strings) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

}  // namespace

Process::Process(const std::vector<std::string>& arguments,
                 const std::vector<std::string>& environment, const std::string& stderr_path) {
  std::vector<std::string> argv_strings = arguments;
  std::vector<std::string> env_strings = MergedEnvironment(environment);
  std::vector<char*> argv = Pointers(argv_strings);
  std::vector<char*> envp = Pointers(env_strings);
  int input[2];
  int output[2];
  if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  const int error_fd = open(stderr_path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    // Only async-signal-safe calls between fork and exec: this process has
    // threads.
    dup2(input[0], STDIN_FILENO);
    dup2(output[1], STDOUT_FILENO);
    if (error_fd >= 0) dup2(error_fd, STDERR_FILENO);
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  close(input[0]);
  close(output[1]);
  if (error_fd >= 0) close(error_fd);
  input_fd_ = input[1];
  output_fd_ = output[0];
}

Process::~Process() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    Wait();
  }
  CloseInput();
  if (output_fd_ >= 0) close(output_fd_);
}

bool Process::ReadUntil(const std::string& text, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (output_.find(text) == std::string::npos) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return false;
    pollfd waiting = {output_fd_, POLLIN, 0};
    if (poll(&waiting, 1, static_cast<int>(left)) != 1) return false;
    char buffer[256];
    const ssize_t count = read(output_fd_, buffer, sizeof buffer);
    if (count <= 0) return false;
    output_.append(buffer, static_cast<size_t>(count));
  }
  return true;
}

void Process::CloseInput() {
  if (input_fd_ >= 0) close(input_fd_);
  input_fd_ = -1;
}

void Process::Signal(int signal_number) {
  if (pid_ > 0) kill(pid_, signal_number);
}

int Process::Wait(int timeout_ms) {
  if (pid_ <= 0) return -1;
  int status = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    const pid_t done = waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() > deadline) kill(pid_, SIGKILL);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  pid_ = -1;
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
  return -1;
}

int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(fd);
    throw std::runtime_error("no free port");
  }
  close(fd);
  return ntohs(address.sin_port);
}

bool Eventually(const std::function<bool()>& condition, int timeout_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

int RunToEnd(const std::vector<std::string>& arguments, const std::string& log) {
  Process process(arguments, {}, log);
  return process.Wait(60000);
}

TestBroker::TestBroker(const std::string& directory)
    : directory_(directory), port_(FreeLoopbackPort()) {}

void TestBroker::WriteConfig() const {
  std::ofstream config(directory_ + "/mosquitto.conf");
  // As root, mosquitto would read the test's own files as another user.
  if (geteuid() == 0) config << "user root\n";
  config << "listener " << port_ << " 127.0.0.1\n"
         << (secure_lines_.empty() ? "allow_anonymous true\n" : secure_lines_)
         << "set_tcp_nodelay true\n"
         << "persistence false\n"
         << "log_dest stderr\n"
         << "log_type error\n"
         << "log_type warning\n";
}

TestBroker::~TestBroker() {
  if (process_) {
    process_->Signal(SIGTERM);
    process_->Wait(5000);
  }
}

bool TestBroker::Start() {
  WriteConfig();
  process_ = std::make_unique<Process>(
      std::vector<std::string>{MOSQUITTO_PATH, "-c", directory_ + "/mosquitto.conf"},
      std::vector<std::string>{}, directory_ + "/mosquitto.log");
  return Eventually([&] { return Accepts(port_); }, 10000);
}

void TestBroker::Freeze(bool frozen) { process_->Signal(frozen ? SIGSTOP : SIGCONT); }

void TestBroker::Kill() {
  process_->Signal(SIGKILL);
  process_->Wait();
  process_.reset();
}

namespace {

void OnProbeMessage(mosquitto*, void* self, const mosquitto_message* message,
                    const mosquitto_property*) {
  Message copy;
  copy.topic = message->topic;
  if (message->payload != nullptr) {
    copy.payload.assign(static_cast<const char*>(message->payload),
                        static_cast<size_t>(message->payloadlen));
  }
  copy.retained = message->retain;
  copy.received = std::chrono::steady_clock::now();
  static_cast<Probe*>(self)->Record(std::move(copy));
}

void OnProbeSubscribed(mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
  static_cast<Probe*>(self)->Acknowledged();
}

void OnProbePublished(mosquitto*, void* self, int, int reason, const mosquitto_property*) {
  static_cast<Probe*>(self)->Published(reason);
}

}  // namespace

Probe::Probe(int port, const std::string& username, const std::string& password,
             const std::string& client_id) {
  mosquitto_lib_init();
  client_ = mosquitto_new(client_id.empty() ? nullptr : client_id.c_str(), true, this);
  if (!username.empty()) mosquitto_username_pw_set(client_, username.c_str(), password.c_str());
  mosquitto_publish_v5_callback_set(client_, &OnProbePublished);
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_message_v5_callback_set(client_, &OnProbeMessage);
  mosquitto_subscribe_v5_callback_set(client_, &OnProbeSubscribed);
  connected_ = mosquitto_connect_bind_v5(client_, "127.0.0.1", port, 30, nullptr, nullptr) ==
                   MOSQ_ERR_SUCCESS &&
               mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
}

Probe::~Probe() {
  mosquitto_disconnect(client_);
  mosquitto_loop_stop(client_, false);
  mosquitto_destroy(client_);
}

bool Probe::Subscribe(const std::string& filter, int qos) {
  const int before = acknowledged_.load();
  if (mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), qos, 0, nullptr) !=
      MOSQ_ERR_SUCCESS) {
    return false;
  }
  return Eventually([&] { return acknowledged_.load() > before; }, 5000);
}

void Probe::Publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                    uint32_t expiry_s) {
  mosquitto_property* properties = nullptr;
  if (expiry_s > 0) {
    mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry_s);
  }
  mosquitto_publish_v5(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()),
                       payload.data(), qos, retain, properties);
  mosquitto_property_free_all(&properties);
}

int Probe::PublishAcknowledged(const std::string& topic, const std::string& payload, bool retain) {
  const int before = published_.load();
  Publish(topic, payload, 1, retain);
  if (!Eventually([&] { return published_.load() > before; }, 10000)) return -1;
  return publish_reason_.load();
}

void Probe::Record(Message message) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.push_back(std::move(message));
  }
  arrived_.notify_all();
}

bool Probe::WaitFor(const std::function<bool(const Message&)>& match, int timeout_ms,
                    Message* found) {
  std::unique_lock<std::mutex> lock(mutex_);
  size_t checked = 0;
  return arrived_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (; checked < messages_.size(); ++checked) {
      if (match(messages_[checked])) {
        if (found != nullptr) *found = messages_[checked];
        return true;
      }
    }
    return false;
  });
}

std::vector<Message> Probe::Messages() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

size_t Probe::Count(const std::function<bool(const Message&)>& match) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const Message& message : messages_) count += match(message) ? 1u : 0u;
  return count;
}

void Probe::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.clear();
}

}  // namespace kelto::testing
