// What the bridge scenarios drive: a real broker on a loopback port of its
// own, real bridge processes, programs holding tables, and an MQTT client
// that watches everything on the broker.
#ifndef KELTO_TESTS_BRIDGE_BRIDGE_HARNESS_H_
#define KELTO_TESTS_BRIDGE_BRIDGE_HARNESS_H_

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

struct mosquitto;

namespace kelto::testing {

// A child process run with execve. Environment: this process's, with
// `environment` entries ("NAME=value") put over it.
class Process {
 public:
  Process(const std::vector<std::string>& arguments, const std::vector<std::string>& environment,
          const std::string& stderr_path);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Reads standard output until it holds `text`.
  bool ReadUntil(const std::string& text, int timeout_ms = 20000);
  // Closes the child's standard input.
  void CloseInput();
  void Signal(int signal_number);
  // Waits for the exit; after `timeout_ms` kills it. Exit status, or 128 +
  // the signal.
  int Wait(int timeout_ms = 20000);
  bool running() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int input_fd_ = -1;
  int output_fd_ = -1;
  std::string output_;
};

// mosquitto on 127.0.0.1 with a port of its own and a generated config
// (TCP_NODELAY, no persistence: a restart forgets every retained message).
class TestBroker {
 public:
  explicit TestBroker(const std::string& directory);
  ~TestBroker();
  int port() const { return port_; }
  std::string address() const { return "127.0.0.1:" + std::to_string(port_); }
  // Lines for the listener (TLS files, password and ACL files) written into
  // the config at the next Start; with them nobody is let in anonymously.
  void Secure(const std::string& lines) { secure_lines_ = lines; }
  bool Start();  // true once it accepts connections
  void Kill();   // SIGKILL, as a crash
  // Stops it answering (SIGSTOP), as a hung broker or a cut cable, and on.
  void Freeze(bool frozen);

 private:
  void WriteConfig() const;

  std::string directory_;
  std::string secure_lines_;
  int port_ = 0;
  std::unique_ptr<Process> process_;
};

struct Message {
  std::string topic;
  std::string payload;
  bool retained = false;
  std::chrono::steady_clock::time_point received;
};

// An MQTT v5 client in the test process that records what it hears.
class Probe {
 public:
  explicit Probe(int port, const std::string& username = "", const std::string& password = "",
                 const std::string& client_id = "");
  ~Probe();
  bool connected() const { return connected_; }
  // Returns once the broker acknowledged the subscription.
  bool Subscribe(const std::string& filter, int qos = 1);
  // With expiry_s > 0, the message expiry interval property.
  void Publish(const std::string& topic, const std::string& payload, int qos = 1,
               bool retain = false, uint32_t expiry_s = 0);
  // Publishes with QoS 1 and waits for the broker's acknowledgement: its
  // MQTT v5 reason code (0: accepted; 135: not authorised), or -1.
  int PublishAcknowledged(const std::string& topic, const std::string& payload,
                          bool retain = false);
  // Waits until some message satisfies `match`; returns a copy of it.
  bool WaitFor(const std::function<bool(const Message&)>& match, int timeout_ms = 10000,
               Message* found = nullptr);
  std::vector<Message> Messages() const;
  size_t Count(const std::function<bool(const Message&)>& match) const;
  void Clear();
  // Called on the client's network thread.
  void Record(Message message);
  void Acknowledged() { acknowledged_.fetch_add(1); }
  void Published(int reason) {
    publish_reason_.store(reason);
    published_.fetch_add(1);
  }

 private:
  mosquitto* client_ = nullptr;
  bool connected_ = false;
  std::atomic<int> acknowledged_{0};
  std::atomic<int> published_{0};
  std::atomic<int> publish_reason_{-1};
  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  std::vector<Message> messages_;
};

// Polls `condition` (every 2 ms) for at most `timeout_ms`.
bool Eventually(const std::function<bool()>& condition, int timeout_ms = 10000);

// A free TCP port on 127.0.0.1.
int FreeLoopbackPort();

// Runs a program to its end (output to `log`); its exit status.
int RunToEnd(const std::vector<std::string>& arguments, const std::string& log);

}  // namespace kelto::testing

#endif  // KELTO_TESTS_BRIDGE_BRIDGE_HARNESS_H_
