// kelto-bridge end to end on this machine, beside the broker's own floor
// measured in the same run:
//   floor      a publish from one client to a subscriber on loopback (QoS 0)
//   mirror     a write on table A until table B reads the same value, through
//              both bridges and the broker
//   set        a /set request from an MQTT client until the table holds it
//   forwarded  changes one bridge publishes per second, 500 variables written
//              as fast as possible (each limited to --max-rate 100)
// Run it with bench/bridge.sh.
#include <mosquitto.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bridge/bridge_harness.h"
#include "kelto_live.h"

namespace {

using kelto::testing::Message;
using kelto::testing::Probe;
using kelto::testing::Process;
using kelto::testing::TestBroker;
using Clock = std::chrono::steady_clock;

constexpr int kVariables = 500;
constexpr int kSamples = 2000;

double Microseconds(Clock::duration elapsed) {
  return std::chrono::duration<double, std::micro>(elapsed).count();
}

void Report(const char* what, std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  if (samples.empty()) {
    std::printf("%-10s no samples\n", what);
    return;
  }
  const auto at = [&](double q) {
    return samples[static_cast<size_t>(q * double(samples.size() - 1))];
  };
  std::printf("%-10s n=%zu  median %8.1f us  p99 %8.1f us  max %8.1f us\n", what, samples.size(),
              at(0.5), at(0.99), samples.back());
}

struct Side {
  Side(std::string directory_path, std::string segment_name)
      : directory(std::move(directory_path)), segment(std::move(segment_name)) {}
  std::string directory;
  std::string segment;
  std::unique_ptr<Process> holder;
  std::unique_ptr<Process> bridge;
  kelto_live* table = nullptr;

  std::vector<std::string> Environment() const {
    return {"KELTO_DIR=" + directory, "KELTO_SEGMENT=" + segment};
  }
  bool Open(const std::string& definitions) {
    std::filesystem::create_directories(directory);
    std::ofstream(directory + "/iorsh.mem") << definitions;
    std::ofstream(directory + "/memsh.mem") << "";
    holder = std::make_unique<Process>(std::vector<std::string>{TABLE_HOLDER_PATH}, Environment(),
                                       directory + "/holder.log");
    if (!holder->ReadUntil("ready")) return false;
    return kelto_live_attach(segment.c_str(), &table) == KELTO_LIVE_OK;
  }
  void StartBridge(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), BRIDGE_PATH);
    bridge = std::make_unique<Process>(arguments, Environment(), directory + "/bridge.log");
  }
  ~Side() {
    bridge.reset();
    kelto_live_detach(table);
    holder.reset();
    for (const char* suffix : {"", ".lock", ".changes"})
      shm_unlink(("/" + segment + suffix).c_str());
  }
};

// Waits on `table` until `ident` holds `value`.
bool WaitForValue(kelto_live* table, uint64_t* cursor, uint32_t ident, int64_t value) {
  const auto deadline = Clock::now() + std::chrono::seconds(5);
  for (;;) {
    int64_t now = 0;
    if (kelto_live_get_int(table, ident, &now) == KELTO_LIVE_OK && now == value) return true;
    if (Clock::now() > deadline) return false;
    uint32_t changed[16];
    uint32_t count = 0;
    int resync = 0;
    kelto_live_wait(table, cursor, &ident, 1, 100, changed, 16, &count, &resync);
  }
}

std::vector<double> BrokerFloor(int port) {
  Probe sender(port);
  Probe receiver(port);
  receiver.Subscribe("floor/x", 0);
  std::vector<double> samples;
  for (int i = 0; i < kSamples; ++i) {
    const std::string payload = std::to_string(i);
    const auto start = Clock::now();
    sender.Publish("floor/x", payload, 0);
    Message got;
    if (!receiver.WaitFor([&](const Message& m) { return m.payload == payload; }, 2000, &got))
      continue;
    samples.push_back(Microseconds(got.received - start));
    if (i % 100 == 99) receiver.Clear();
  }
  return samples;
}

}  // namespace

int main() {
  char pattern[] = "/tmp/kelto-bridge-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return 1;
  const std::string root = pattern;
  const std::string tag = "kelto-bridge-bench-" + std::to_string(getpid());
  std::string definitions = "[bench]\n";
  for (int i = 0; i < kVariables; ++i)
    definitions.append("V").append(std::to_string(i)).append("=L\n");

  TestBroker broker(root);
  if (!broker.Start()) {
    std::fprintf(stderr, "mosquitto did not start\n");
    return 1;
  }
  int status = 0;
  {
    Side a{root + "/a", tag + "-a"};
    Side b{root + "/b", tag + "-b"};
    if (!a.Open(definitions) || !b.Open(definitions)) {
      std::fprintf(stderr, "the tables did not open\n");
      return 1;
    }
    // Latency runs without a rate limit, so that no sample waits for the
    // previous one's interval; the rate limit has a run of its own below.
    a.StartBridge({"--broker", broker.address(), "--node", "benchA", "--export", "IORSH_*",
                   "--allow-set", "IORSH_V0", "--max-rate", "0"});
    b.StartBridge({"--broker", broker.address(), "--node", "benchB", "--import", "benchA/IORSH_*"});
    Probe watcher(broker.port());
    watcher.Subscribe("kelto/v1/+/$state");
    for (const char* node : {"benchA", "benchB"}) {
      const std::string topic = std::string("kelto/v1/") + node + "/$state";
      if (!watcher.WaitFor(
              [&](const Message& m) { return m.topic == topic && m.payload == "online"; })) {
        std::fprintf(stderr, "bridge %s did not connect\n", node);
        return 1;
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    Report("floor", BrokerFloor(broker.port()));

    uint32_t ident_a = 0;
    uint32_t ident_b = 0;
    kelto_live_find(a.table, "IORSH_V0", &ident_a);
    kelto_live_find(b.table, "IORSH_V0", &ident_b);
    std::vector<double> mirror;
    uint64_t cursor_b = kelto_live_cursor(b.table);
    for (int i = 1; i <= kSamples; ++i) {
      const auto start = Clock::now();
      kelto_live_set_int(a.table, ident_a, i);
      if (WaitForValue(b.table, &cursor_b, ident_b, i))
        mirror.push_back(Microseconds(Clock::now() - start));
    }
    Report("mirror", mirror);

    Probe client(broker.port());
    const std::string set_topic = "kelto/v1/benchA/" + a.segment + "/IORSH_V0/set";
    std::vector<double> set;
    uint64_t cursor_a = kelto_live_cursor(a.table);
    for (int i = 1; i <= kSamples / 2; ++i) {
      const int64_t value = 1000000 + i;
      const auto start = Clock::now();
      client.Publish(set_topic, "{\"v\":" + std::to_string(value) + "}", 1, false, 10);
      if (WaitForValue(a.table, &cursor_a, ident_a, value))
        set.push_back(Microseconds(Clock::now() - start));
    }
    Report("set", set);

    // Forwarding: the same bridge with the default rate limit, every
    // variable written in turn as fast as one thread can.
    a.bridge.reset();
    a.StartBridge({"--broker", broker.address(), "--node", "benchA", "--export", "IORSH_*"});
    watcher.Clear();
    watcher.WaitFor([](const Message& m) {
      return m.topic == "kelto/v1/benchA/$state" && m.payload == "online";
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    std::atomic<uint64_t> received{0};
    Probe counter(broker.port());
    counter.Subscribe("kelto/v1/benchA/" + a.segment + "/+", 0);
    std::vector<uint32_t> idents(kVariables);
    for (int i = 0; i < kVariables; ++i) {
      kelto_live_find(a.table, std::string("IORSH_V").append(std::to_string(i)).c_str(),
                      &idents[static_cast<size_t>(i)]);
    }
    counter.Clear();
    const auto start = Clock::now();
    uint64_t writes = 0;
    for (int64_t round = 0; Clock::now() - start < std::chrono::seconds(3); ++round) {
      for (const uint32_t ident : idents) kelto_live_set_int(a.table, ident, round + 7);
      writes += idents.size();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    received = counter.Count([](const Message&) { return true; });
    std::printf(
        "forwarded  %.0f changes/s published by one bridge (%llu writes/s on the table, "
        "500 variables, --max-rate 100)\n",
        double(received) / seconds, static_cast<unsigned long long>(double(writes) / seconds));
    status = mirror.size() == size_t(kSamples) && set.size() == size_t(kSamples / 2) ? 0 : 1;
  }
  std::filesystem::remove_all(root);
  return status;
}
