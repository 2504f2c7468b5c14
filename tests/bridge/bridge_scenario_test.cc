// kelto-bridge as it runs between machines: two tables on this machine
// stand for two machines (two segments, two bridges with different node
// names), with a real broker between them on a loopback port of its own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <thread>
#include <utility>

#include "bridge/bridge_harness.h"
#include "kelto_live.h"
#include "mqtt_protocol.h"
#include "support/sanitizers.h"
#include "support/test_environment.h"

namespace kelto::testing {
namespace {

using namespace std::chrono_literals;

// One machine: its definition files, the program holding its table, its
// bridge, and an observer handle through which the test reads and writes.
class Machine {
 public:
  Machine(const TestEnvironment& environment, const std::string& tag, const std::string& iorsh,
          const std::string& memsh)
      : directory_(environment.Path(tag)), segment_(environment.segment() + "-" + tag) {
    std::filesystem::create_directory(directory_);
    std::ofstream(directory_ + "/iorsh.mem") << iorsh;
    std::ofstream(directory_ + "/memsh.mem") << memsh;
  }
  ~Machine() {
    second_bridge_.reset();
    bridge_.reset();
    kelto_live_detach(observer_);
    holder_.reset();
    for (const char* suffix : {"", ".lock", ".changes"}) {
      shm_unlink(("/" + segment_ + suffix).c_str());
    }
  }

  const std::string& segment() const { return segment_; }
  std::string bridge_log() const {
    std::ifstream in(directory_ + "/bridge.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  // A program opens the table (a fresh one when none is live).
  void OpenTable() {
    holder_ = std::make_unique<Process>(std::vector<std::string>{TABLE_HOLDER_PATH}, Environment(),
                                        directory_ + "/holder.log");
    ASSERT_TRUE(holder_->ReadUntil("ready")) << "the table holder did not start";
    if (observer_ == nullptr) {
      ASSERT_EQ(kelto_live_attach(segment_.c_str(), &observer_), KELTO_LIVE_OK);
    } else {
      ASSERT_EQ(kelto_live_reattach(observer_, 5000), KELTO_LIVE_OK);
    }
  }
  // The program closes the table (the last one: the table is gone).
  void CloseTable() {
    holder_->CloseInput();
    EXPECT_EQ(holder_->Wait(), 0);
    holder_.reset();
  }
  // Whether this observer, too, saw the table go.
  bool TableGone() {
    return Eventually([&] { return kelto_live_check(observer_) == KELTO_LIVE_NO_TABLE; }, 3000);
  }

  void StartBridge(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{BRIDGE_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    bridge_ = std::make_unique<Process>(command, Environment(), directory_ + "/bridge.log");
  }
  // A second bridge on the same table, logging to bridge2.log.
  void StartSecondBridge(const std::vector<std::string>& arguments) {
    std::vector<std::string> command{BRIDGE_PATH};
    command.insert(command.end(), arguments.begin(), arguments.end());
    second_bridge_ = std::make_unique<Process>(command, Environment(), directory_ + "/bridge2.log");
  }
  int WaitSecondBridge() { return second_bridge_->Wait(20000); }
  int StopSecondBridge() {
    second_bridge_->Signal(SIGTERM);
    return second_bridge_->Wait(10000);
  }
  int WaitBridge() { return bridge_->Wait(20000); }
  std::string second_bridge_log() const {
    std::ifstream in(directory_ + "/bridge2.log");
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }
  void KillBridge() {
    bridge_->Signal(SIGKILL);
    bridge_->Wait();
  }
  // The bridge's resident memory in kB, from /proc: now (VmRSS) or the
  // most it ever held (VmHWM).
  long BridgeMemoryKb(const std::string& field = "VmRSS:") const {
    std::ifstream status("/proc/" + std::to_string(bridge_->pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with(field)) return std::stol(line.substr(field.size()));
    }
    return -1;
  }
  long BridgePeakMemoryKb() const { return BridgeMemoryKb("VmHWM:"); }
  int StopBridge() {
    bridge_->Signal(SIGTERM);
    return bridge_->Wait(10000);
  }

  int64_t Get(const std::string& name) {
    uint32_t ident = 0;
    int64_t value = -999999;
    if (kelto_live_find(observer_, name.c_str(), &ident) != KELTO_LIVE_OK) return value;
    kelto_live_get_int(observer_, ident, &value);
    return value;
  }
  std::string Text(const std::string& name) {
    uint32_t ident = 0;
    char text[KELTO_LIVE_TEXT_SIZE] = "";
    if (kelto_live_find(observer_, name.c_str(), &ident) == KELTO_LIVE_OK) {
      kelto_live_get_text(observer_, ident, text, sizeof text);
    }
    return text;
  }
  void Set(const std::string& name, const std::string& json) {
    uint32_t ident = 0;
    ASSERT_EQ(kelto_live_find(observer_, name.c_str(), &ident), KELTO_LIVE_OK) << name;
    ASSERT_EQ(
        kelto_live_set(observer_, ident, json.data(), json.size(), KELTO_LIVE_JSON, nullptr, 0),
        KELTO_LIVE_OK)
        << name << " = " << json;
  }

 private:
  std::vector<std::string> Environment() const {
    return {"KELTO_DIR=" + directory_, "KELTO_SEGMENT=" + segment_};
  }

  std::string directory_;
  std::string segment_;
  std::unique_ptr<Process> holder_;
  std::unique_ptr<Process> bridge_;
  std::unique_ptr<Process> second_bridge_;
  kelto_live* observer_ = nullptr;
};

size_t CountLines(const std::string& text, const std::string& needle) {
  size_t count = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    count += line.find(needle) != std::string::npos;
  return count;
}

bool IsPayload(const Message& message, const std::string& topic, const std::string& payload) {
  return message.topic == topic && message.payload == payload;
}

// rigA owns the IORSH_ variables and mirrors MEMSH_ from rigB; rigB owns
// MEMSH_ and mirrors IORSH_, where its IORSH_TEMP has another type and it
// has no IORSH_ONLY_A at all.
class BridgeScenario : public ::testing::Test {
 protected:
  BridgeScenario()
      : broker_(environment_.directory()),
        a_(environment_, "a", "[i]\nSPEED=L\nLABEL=$\nTEMP=D\nFLAG=B\nONLY_A=W\n",
           "[m]\nREMOTE=L\n"),
        b_(environment_, "b", "[i]\nSPEED=L\nLABEL=$\nTEMP=L\nFLAG=B\n", "[m]\nREMOTE=L\n") {}

  void SetUp() override {
    ASSERT_TRUE(broker_.Start()) << "mosquitto did not start";
    a_.OpenTable();
    b_.OpenTable();
    probe_ = std::make_unique<Probe>(broker_.port(), probe_user_, probe_password_);
    ASSERT_TRUE(probe_->connected());
    ASSERT_TRUE(probe_->Subscribe("kelto/v1/#"));
    StartBridgeA();
    StartBridgeB();
    ASSERT_TRUE(probe_->WaitFor(
        [&](const Message& m) { return IsPayload(m, TopicA("$state"), "online"); }));
    ASSERT_TRUE(probe_->WaitFor(
        [&](const Message& m) { return IsPayload(m, TopicB("$state"), "online"); }));
  }

  void StartBridgeA() {
    std::vector<std::string> arguments{
        "--broker",    broker_.address(), "--node",       "rigA",        "--export",
        "IORSH_*",     "--import",        "rigB/MEMSH_*", "--allow-set", "IORSH_SPEED",
        "--allow-set", "IORSH_LABEL",     "--max-rate",   "50"};
    arguments.insert(arguments.end(), login_a_.begin(), login_a_.end());
    a_.StartBridge(arguments);
  }
  void StartBridgeB() {
    std::vector<std::string> arguments{"--broker", broker_.address(), "--node",
                                       "rigB",     "--export",        "*",
                                       "--import", "rigA/IORSH_*"};
    arguments.insert(arguments.end(), login_b_.begin(), login_b_.end());
    b_.StartBridge(arguments);
  }
  // The run rigA's bridge named in its latest birth.
  std::string RunOfA() {
    Message birth;
    std::string run;
    probe_->WaitFor(
        [&](const Message& m) {
          if (m.topic == TopicA("$birth")) run = nlohmann::json::parse(m.payload).value("run", "");
          return false;
        },
        0);
    return run;
  }

  std::string TopicA(const std::string& name) const {
    return "kelto/v1/rigA/" + a_.segment() + "/" + name;
  }
  std::string TopicB(const std::string& name) const {
    return "kelto/v1/rigB/" + b_.segment() + "/" + name;
  }

  TestEnvironment environment_;
  TestBroker broker_;
  Machine a_;
  Machine b_;
  std::unique_ptr<Probe> probe_;
  // Set by fixtures whose broker wants a login.
  std::vector<std::string> login_a_;
  std::vector<std::string> login_b_;
  std::string probe_user_;
  std::string probe_password_;
};

TEST_F(BridgeScenario, MirrorsOwnedValuesAndGuardsRemoteWrites) {
  // The birth tells what rigA exports and which of it may be set.
  Message birth;
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) { return m.topic == TopicA("$birth"); }, 10000,
                              &birth));
  const auto listing = nlohmann::json::parse(birth.payload);
  std::map<std::string, bool> settable;
  for (const auto& variable : listing["variables"]) {
    settable[variable["name"].get<std::string>()] = variable["settable"].get<bool>();
  }
  EXPECT_EQ(settable.size(), 5u) << birth.payload;  // IORSH_ only: MEMSH_REMOTE is mirrored
  EXPECT_TRUE(settable["IORSH_SPEED"]);
  EXPECT_FALSE(settable["IORSH_FLAG"]);

  // Values go both ways, each from its owner.
  a_.Set("IORSH_SPEED", "1500");
  a_.Set("IORSH_LABEL", "\"left front\"");
  a_.Set("IORSH_TEMP", "21.5");
  a_.Set("IORSH_ONLY_A", "7");
  b_.Set("MEMSH_REMOTE", "-3");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1500; }));
  EXPECT_TRUE(Eventually([&] { return b_.Text("IORSH_LABEL") == "left front"; }));
  EXPECT_TRUE(Eventually([&] { return a_.Get("MEMSH_REMOTE") == -3; }));
  Message value;
  ASSERT_TRUE(probe_->WaitFor(
      [&](const Message& m) {
        return m.topic == TopicA("IORSH_SPEED") && m.payload.find("1500") != std::string::npos;
      },
      10000, &value));
  const auto speed = nlohmann::json::parse(value.payload);
  EXPECT_EQ(speed["v"], 1500);
  EXPECT_TRUE(speed["ts"].is_number_unsigned());
  EXPECT_TRUE(speed["seq"].is_number_unsigned());

  // A variable of another type, or none at all, is not mirrored: one line
  // each, however many values come.
  a_.Set("IORSH_TEMP", "22.5");
  a_.Set("IORSH_ONLY_A", "8");
  a_.Set("IORSH_SPEED", "1501");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1501; }));
  EXPECT_EQ(b_.Get("IORSH_TEMP"), 0);
  EXPECT_EQ(CountLines(b_.bridge_log(), "IORSH_TEMP"), 1u) << b_.bridge_log();
  EXPECT_EQ(CountLines(b_.bridge_log(), "IORSH_ONLY_A"), 1u) << b_.bridge_log();

  // Allowed write requests, in JSON and as keltoctl set's bare text: the
  // owner writes, and its publication carries the value to the mirror.
  probe_->Publish(TopicA("IORSH_SPEED/set"), "{\"v\": 42}", 1, false, 10);
  EXPECT_TRUE(Eventually([&] { return a_.Get("IORSH_SPEED") == 42; }));
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 42; }));
  probe_->Publish(TopicA("IORSH_LABEL/set"), "hello world", 1, false, 10);
  EXPECT_TRUE(Eventually([&] { return b_.Text("IORSH_LABEL") == "hello world"; }));

  // Refused requests are answered on .../error and write nothing.
  const std::vector<std::pair<std::string, std::string>> refused = {
      {"IORSH_FLAG", "1"},                          // not open to remote writes
      {"IORSH_SPEED", "\"fast\""},                  // wrong type
      {"IORSH_SPEED", "{\"v\": 4294967296}"},       // out of range
      {"IORSH_SPEED", "{\"v\": 1"},                 // not JSON
      {"IORSH_SPEED", std::string(5000, '7')},      // above 4 KiB
      {"IORSH_NOPE", "1"},                          // no such variable
      {"IORSH_SPEED", std::string("52\0junk", 7)},  // a NUL byte inside
      {"IORSH_LABEL", "\"q\xffq\""},                // JSON that does not parse
      {"IORSH_%2fX", "1"},                          // badly escaped names
      {"IORSH %zz", "1"},
      {"$IORSH%", "1"},
  };
  probe_->Clear();
  for (const auto& [name, payload] : refused) probe_->Publish(TopicA(name + "/set"), payload, 1);
  for (const auto& refusal : refused) {
    // Named apart: clang 14 cannot capture a structured binding.
    const std::string& name = refusal.first;
    const std::string& payload = refusal.second;
    EXPECT_TRUE(probe_->WaitFor([&](const Message& m) {
      return m.topic == TopicA(name + "/error");
    })) << name
        << " " << payload.substr(0, 40);
  }
  EXPECT_EQ(probe_->Count([&](const Message& m) { return m.topic.ends_with("/error"); }),
            refused.size());
  EXPECT_EQ(a_.Get("IORSH_SPEED"), 42);
  EXPECT_EQ(a_.Text("IORSH_LABEL"), "hello world");
  EXPECT_EQ(a_.Get("IORSH_FLAG"), 0);
  EXPECT_EQ(probe_->Count([&](const Message& m) {
    return m.topic == TopicA("IORSH_%2fX/error") &&
           m.payload.find("upper-case") != std::string::npos;
  }),
            1u);

  // -0.0 keeps its sign on the wire.
  a_.Set("IORSH_TEMP", "-0.0");
  EXPECT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_TEMP") && m.payload.starts_with("{\"v\":-0.0,");
  }));
  EXPECT_EQ(probe_->Count([&](const Message& m) { return m.topic == TopicA("IORSH_SPEED"); }), 0u);
}

// Text is bytes: valid UTF-8 travels as its characters, a byte outside it
// as the lone surrogate U+DC80 + byte that Python's json and
// surrogateescape use, and the mirror gets the very bytes of the owner.
TEST_F(BridgeScenario, TextKeepsItsBytesAndShowsItsCharacters) {
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) { return m.topic == TopicA("$birth"); }));
  a_.Set("IORSH_LABEL", "\"25 \\u00b0C \\udcb0\"");
  Message value;
  ASSERT_TRUE(probe_->WaitFor(
      [&](const Message& m) {
        // The value itself, not a time or sequence number holding "25".
        return m.topic == TopicA("IORSH_LABEL") && m.payload.starts_with("{\"v\":\"25");
      },
      10000, &value));
  EXPECT_TRUE(
      value.payload.starts_with("{\"v\":\"25 \xc2\xb0"
                                "C \\udcb0\","))
      << value.payload;
  EXPECT_TRUE(Eventually([&] {
    return b_.Text("IORSH_LABEL") ==
           "25 \xc2\xb0"
           "C \xb0";
  }));

  // A request as Python's json.dumps writes "\u20ac \udcff" (ASCII only), one
  // with raw UTF-8 and bytes given as escapes, and 64 bytes in 22
  // characters, which is one byte too many.
  probe_->Publish(TopicA("IORSH_LABEL/set"), "{\"v\": \"\\u20ac \\udcff\"}", 1, false, 10);
  EXPECT_TRUE(Eventually([&] { return a_.Text("IORSH_LABEL") == "\xe2\x82\xac \xff"; }));
  EXPECT_TRUE(Eventually([&] { return b_.Text("IORSH_LABEL") == "\xe2\x82\xac \xff"; }));
  probe_->Publish(TopicA("IORSH_LABEL/set"), "\xc3\xa9t\xc3\xa9 \\xfe", 1, false, 10);
  EXPECT_TRUE(Eventually([&] { return b_.Text("IORSH_LABEL") == "\xc3\xa9t\xc3\xa9 \xfe"; }));
  std::string euros;
  for (int i = 0; i < 21; ++i) euros += "\xe2\x82\xac";
  probe_->Clear();
  probe_->Publish(TopicA("IORSH_LABEL/set"), "\"" + euros + "x\"", 1, false, 10);
  EXPECT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_LABEL/error") &&
           m.payload.find("64 bytes") != std::string::npos;
  }));
  probe_->Publish(TopicA("IORSH_LABEL/set"), "\"" + euros + "\"", 1, false, 10);
  EXPECT_TRUE(Eventually([&] { return b_.Text("IORSH_LABEL") == euros; }));
}

TEST_F(BridgeScenario, NoEchoAndRateLimitedWithTheLastValueArriving) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  probe_->Clear();

  // 10,000 writes over about a second, against a limit of 50 a second.
  const auto start = std::chrono::steady_clock::now();
  for (int i = 2; i <= 10001; ++i) {
    a_.Set("IORSH_SPEED", std::to_string(i));
    if (i % 10 == 0) std::this_thread::sleep_for(1ms);
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 10001; }));
  Message last;
  ASSERT_TRUE(probe_->WaitFor(
      [](const Message& m) { return m.payload.starts_with("{\"v\":10001,"); }, 10000, &last));
  std::this_thread::sleep_for(300ms);  // room for any echo to show

  const size_t published =
      probe_->Count([&](const Message& m) { return m.topic == TopicA("IORSH_SPEED"); });
  EXPECT_GE(published, 2u);
  EXPECT_LE(static_cast<double>(published), 50 * seconds + 3) << seconds << " s";
  // The mirror never publishes what it mirrors, nor does the owner's value
  // come back to it.
  EXPECT_EQ(probe_->Count([](const Message& m) {
    return m.topic.starts_with("kelto/v1/rigB/") && m.topic.find("IORSH_") != std::string::npos;
  }),
            0u);
  EXPECT_EQ(a_.Get("IORSH_SPEED"), 10001);
  EXPECT_EQ(CountLines(a_.bridge_log(), "IORSH_SPEED"), 0u) << a_.bridge_log();

  // Sequence numbers only grow.
  uint64_t previous = 0;
  for (const Message& message : probe_->Messages()) {
    if (message.topic != TopicA("IORSH_SPEED")) continue;
    const uint64_t seq = nlohmann::json::parse(message.payload)["seq"].get<uint64_t>();
    EXPECT_GT(seq, previous);
    previous = seq;
  }
}

TEST_F(BridgeScenario, ConvergesAfterBrokerAndBridgeOutages) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));

  // The broker dies, values change meanwhile, and it comes back empty (no
  // persistence): both bridges restore their values and mirrors.
  probe_.reset();
  broker_.Kill();
  a_.Set("IORSH_SPEED", "2");
  b_.Set("MEMSH_REMOTE", "5");
  ASSERT_TRUE(broker_.Start());
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 2; }));
  EXPECT_TRUE(Eventually([&] { return a_.Get("MEMSH_REMOTE") == 5; }));
  probe_ = std::make_unique<Probe>(broker_.port());
  ASSERT_TRUE(probe_->Subscribe("kelto/v1/#"));
  EXPECT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.retained && m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":2,");
  }));

  // rigA's bridge is killed: the broker marks it offline. Restarted, it
  // brings the value written while it was away.
  a_.KillBridge();
  EXPECT_TRUE(
      probe_->WaitFor([&](const Message& m) { return IsPayload(m, TopicA("$state"), "offline"); }));
  a_.Set("IORSH_SPEED", "3");
  StartBridgeA();
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 3; }));

  // A bridge asked to stop says goodbye itself.
  probe_->Clear();
  EXPECT_EQ(b_.StopBridge(), 0);
  EXPECT_TRUE(
      probe_->WaitFor([&](const Message& m) { return IsPayload(m, TopicB("$state"), "offline"); }));
}

TEST_F(BridgeScenario, FollowsTablesAwayAndBack) {
  a_.Set("IORSH_SPEED", "3");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 3; }));
  b_.CloseTable();
  if (!b_.TableGone()) GTEST_SKIP() << "observers still keep a table alive in this build";

  // rigB's table goes away; the value that changes meanwhile reaches its
  // next table from the retained copy, with no new write on rigA.
  a_.Set("IORSH_SPEED", "4");
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":4,");
  }));
  b_.OpenTable();
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 4; }));

  // rigA's table goes away: nothing is published for it until the next
  // table, whose own values then win everywhere.
  a_.CloseTable();
  std::this_thread::sleep_for(1500ms);
  probe_->Clear();
  std::this_thread::sleep_for(500ms);
  EXPECT_EQ(probe_->Count([](const Message& m) { return m.topic.starts_with("kelto/v1/rigA/"); }),
            0u);
  a_.OpenTable();
  EXPECT_TRUE(probe_->WaitFor([&](const Message& m) { return m.topic == TopicA("$birth"); }))
      << a_.bridge_log();
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 0; }));
  a_.Set("IORSH_SPEED", "6");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 6; }));
  EXPECT_EQ(CountLines(b_.bridge_log(), "went away"), 1u) << b_.bridge_log();
}

TEST_F(BridgeScenario, TopicsMadeUpByAnyPublisherDoNotGrowTheBridge) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  const long before = b_.BridgeMemoryKb();
  ASSERT_GT(before, 0);

  // Anyone who may publish on the broker can name segments and variables
  // under an imported node: values for names rigB lacks, values for a real
  // name from segments that do not exist, and births of such segments.
  Probe flooder(broker_.port());
  ASSERT_TRUE(flooder.connected());
  const std::string payload = "{\"v\":5,\"ts\":1,\"seq\":1}";
  for (int i = 0; i < 60000; ++i) {
    const std::string segment = "kelto/v1/rigA/made-up-" + std::to_string(i);
    flooder.Publish(segment + "/IORSH_NAME_" + std::to_string(i), payload, 0);
    flooder.Publish(segment + "/IORSH_SPEED", payload, 0);
    flooder.Publish(segment + "/$birth",
                    "{\"variables\":[{\"topic\":\"IORSH_SPEED\",\"type\":\"L\"}]}", 0);
    if (i % 50 == 0) std::this_thread::sleep_for(1ms);
  }
  // The broker passes messages on in the order they came: once the probe
  // has the flood's last message, the owner's next value comes after it.
  flooder.Publish("kelto/v1/flood/end", "", 0);
  ASSERT_TRUE(
      probe_->WaitFor([](const Message& m) { return m.topic == "kelto/v1/flood/end"; }, 60000));
  // The broker drops values for a client that is far behind, so the next
  // one goes out only once rigB's bridge has caught up (its log is still).
  size_t lines = 0;
  ASSERT_TRUE(Eventually(
      [&] {
        std::this_thread::sleep_for(300ms);
        const size_t now = CountLines(b_.bridge_log(), "IORSH_NAME_");
        return std::exchange(lines, now) == now;
      },
      60000));
  a_.Set("IORSH_SPEED", "2");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 2; }));
  const long after = b_.BridgeMemoryKb();
  if (!kUnderAddressSanitizer) {
    EXPECT_LT(after - before, 6 * 1024) << lines << " messages for unknown names; " << before
                                        << " kB before, " << after << " kB after";
  }

  // The mirror still works, and the owner's values still win.
  a_.Set("IORSH_SPEED", "3");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 3; }));
}

// mosquitto passes on messages of up to 256 MB unless a client says it
// takes less: a bridge says so, and neither kind of topic it hears can make
// it read one whole.
TEST_F(BridgeScenario, AHugeMessageNeverReachesABridge) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  probe_.reset();  // it would take both messages whole
  const long peak_a = a_.BridgePeakMemoryKb();
  const long peak_b = b_.BridgePeakMemoryKb();
  ASSERT_GT(peak_a, 0);
  {
    Probe stranger(broker_.port());
    ASSERT_TRUE(stranger.connected());
    const std::string huge(200 << 20, '7');
    // A write request for rigA, and a value rigB mirrors.
    stranger.Publish(TopicA("IORSH_SPEED/set"), huge, 1);
    stranger.Publish(TopicA("IORSH_SPEED"), "{\"v\":" + huge + ",\"ts\":1,\"seq\":1}", 1);
    // After them on the same connection, so they have passed once this has.
    stranger.Publish(TopicA("IORSH_SPEED/set"), "{\"v\": 7}", 1);
    EXPECT_TRUE(Eventually([&] { return a_.Get("IORSH_SPEED") == 7; }, 60000));
  }
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 7; }, 20000));
  if (!kUnderAddressSanitizer) {
    EXPECT_LT(a_.BridgePeakMemoryKb() - peak_a, 8 * 1024) << peak_a << " kB before";
    EXPECT_LT(b_.BridgePeakMemoryKb() - peak_b, 8 * 1024) << peak_b << " kB before";
  }
  // Both bridges still work: the link was not dropped over it.
  a_.Set("IORSH_SPEED", "8");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 8; }));
  EXPECT_EQ(CountLines(a_.bridge_log(), "lost the broker"), 0u) << a_.bridge_log();
  EXPECT_EQ(CountLines(b_.bridge_log(), "lost the broker"), 0u) << b_.bridge_log();
}

// Without access rules anyone may publish on rigA's topics. What cannot be
// rigA's is refused and counted (one line a minute); a forged birth holds
// the mirror back only until rigA's next one.
TEST_F(BridgeScenario, AStrangersValuesCannotFreezeAMirror) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  const std::string run = RunOfA();
  ASSERT_FALSE(run.empty());
  const std::string now_us = std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  const std::string beyond = "9223372036854775808";
  for (const std::string& forged :
       {"{\"v\":666,\"ts\":0,\"seq\":" + beyond + "}",                             // no run
        "{\"v\":667,\"ts\":0,\"seq\":" + now_us + ",\"run\":\"forged\"}",          // unknown run
        "{\"v\":668,\"ts\":0,\"seq\":" + beyond + ",\"run\":\"" + run + "\"}"}) {  // too far
    probe_->Publish(TopicA("IORSH_SPEED"), forged, 1, true);
  }
  ASSERT_TRUE(
      probe_->WaitFor([](const Message& m) { return m.payload.starts_with("{\"v\":668"); }));
  a_.Set("IORSH_SPEED", "2");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 2; }));
  EXPECT_EQ(CountLines(b_.bridge_log(), "refused"), 1u) << b_.bridge_log();
  EXPECT_EQ(CountLines(b_.bridge_log(), "refused 1 values of node rigA"), 1u) << b_.bridge_log();

  // A forged retained birth with another run and type: rigA's values wait
  // for its next birth (a reconnect or restart), which starts over.
  probe_->Publish(TopicA("$birth"),
                  "{\"run\":\"forged\",\"variables\":[{\"topic\":\"IORSH_SPEED\",\"type\":\"D\"}]}",
                  1, true);
  ASSERT_TRUE(probe_->WaitFor([](const Message& m) { return m.payload.starts_with("{\"run\""); }));
  a_.Set("IORSH_SPEED", "3");
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":3,");
  }));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(b_.Get("IORSH_SPEED"), 2);
  EXPECT_EQ(CountLines(b_.bridge_log(), "IORSH_SPEED: type D there"), 1u) << b_.bridge_log();
  a_.KillBridge();
  StartBridgeA();
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 3; }));
  a_.Set("IORSH_SPEED", "4");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 4; }));
  EXPECT_NE(RunOfA(), run);
}

// The example access rules on a broker with password users: a node writes
// only its own subtree, so a stranger's value never reaches a mirror.
class SecuredBridgeScenario : public BridgeScenario {
 protected:
  void SetUp() override {
    const std::string passwords = environment_.Path("passwd");
    for (const std::string user : {"rigA", "rigB", "stranger"}) {
      environment_.WriteFile(user + ".password", user + "-secret\n");
      std::vector<std::string> command{MOSQUITTO_PASSWD_PATH, "-b", passwords, user,
                                       user + "-secret"};
      if (user == "rigA") command.insert(command.begin() + 1, "-c");
      ASSERT_EQ(RunToEnd(command, environment_.Path("passwd.log")), 0)
          << environment_.ReadFile("passwd.log");
    }
    broker_.Secure("allow_anonymous false\npassword_file " + passwords + "\nacl_file " +
                   EXAMPLES_DIR "/kelto-mosquitto.acl\n");
    login_a_ = {"--username", "rigA", "--password-file", environment_.Path("rigA.password")};
    login_b_ = {"--username", "rigB", "--password-file", environment_.Path("rigB.password")};
    probe_user_ = "stranger";
    probe_password_ = "stranger-secret";
    BridgeScenario::SetUp();
  }
};

TEST_F(SecuredBridgeScenario, TheExampleRulesKeepStrangersOutAndAWrongPasswordWaits) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  EXPECT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":1,");
  })) << "every user reads every node";

  // The broker refuses the stranger's value on rigA's topic and its birth.
  const std::string now_us = std::to_string(std::chrono::duration_cast<std::chrono::microseconds>(
                                                std::chrono::system_clock::now().time_since_epoch())
                                                .count());
  EXPECT_EQ(probe_->PublishAcknowledged(TopicA("IORSH_SPEED"),
                                        "{\"v\":666,\"ts\":0,\"seq\":" + now_us + "}", true),
            MQTT_RC_NOT_AUTHORIZED);
  EXPECT_EQ(probe_->PublishAcknowledged(TopicA("$birth"), "{\"run\":\"x\",\"variables\":[]}", true),
            MQTT_RC_NOT_AUTHORIZED);
  EXPECT_EQ(probe_->PublishAcknowledged("kelto/v1/stranger/s/X", "{\"v\":1,\"seq\":1}"), 0);
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(b_.Get("IORSH_SPEED"), 1);
  EXPECT_FALSE(probe_->WaitFor(
      [](const Message& m) { return m.payload.find("666") != std::string::npos; }, 0));
  a_.Set("IORSH_SPEED", "2");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 2; }));
  EXPECT_EQ(CountLines(b_.bridge_log(), "refused"), 0u) << b_.bridge_log();

  // A wrong password is said once, with the time of the next try, and not
  // tried again every half second.
  environment_.WriteFile("wrong.password", "guess\n");
  login_a_ = {"--username", "rigA", "--password-file", environment_.Path("wrong.password")};
  a_.KillBridge();
  StartBridgeA();
  std::this_thread::sleep_for(2s);
  const std::string log = a_.bridge_log();
  EXPECT_EQ(CountLines(log, "refused the connection"), 1u) << log;
  EXPECT_EQ(CountLines(log, "next try at"), 1u) << log;
  EXPECT_EQ(a_.StopBridge(), 0);
}

TEST_F(BridgeScenario, ARetainedWriteRequestIsAppliedOnceNotAtEveryReconnect) {
  // A request published with the retain flag is kept by the broker and sent
  // to every new subscription: applied then, it would undo later writes.
  // The bridge subscribes before it announces itself.
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) { return m.topic == TopicA("$birth"); }));
  probe_->Publish(TopicA("IORSH_SPEED/set"), "{\"v\": 42}", 1, true);
  ASSERT_TRUE(Eventually([&] { return a_.Get("IORSH_SPEED") == 42; }));
  a_.Set("IORSH_SPEED", "100");
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":100,");
  }));

  // The bridge comes back (a restart; a new connection or table subscribes
  // the same way) and publishes its values again.
  a_.KillBridge();
  probe_->Clear();
  StartBridgeA();
  ASSERT_TRUE(probe_->WaitFor([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":100,");
  }));
  std::this_thread::sleep_for(500ms);  // room for the old request to come
  EXPECT_EQ(a_.Get("IORSH_SPEED"), 100);
  EXPECT_EQ(probe_->Count([&](const Message& m) {
    return m.topic == TopicA("IORSH_SPEED") && m.payload.starts_with("{\"v\":42,");
  }),
            0u);
  probe_->Publish(TopicA("IORSH_SPEED/set"), "", 1, true);  // clears the retained request
}

// On each table one bridge only exports and another only imports: what one
// table's exporter publishes comes back to it through the other table, but
// an equal value is not published again, so the echo ends after one round.
TEST_F(BridgeScenario, SplitBridgesEndAnEchoAfterOneRound) {
  a_.StopBridge();
  b_.StopBridge();
  const std::string broker = broker_.address();
  a_.StartBridge({"--broker", broker, "--node", "a-out", "--export", "IORSH_SPEED"});
  a_.StartSecondBridge({"--broker", broker, "--node", "a-in", "--import", "b-out/IORSH_SPEED"});
  b_.StartBridge({"--broker", broker, "--node", "b-out", "--export", "IORSH_SPEED"});
  b_.StartSecondBridge({"--broker", broker, "--node", "b-in", "--import", "a-out/IORSH_SPEED"});
  for (const std::string node : {"a-out", "a-in", "b-out", "b-in"}) {
    ASSERT_TRUE(probe_->WaitFor([&](const Message& m) {
      return m.topic.starts_with("kelto/v1/" + node + "/") && m.topic.ends_with("/$birth");
    })) << node;
  }
  const auto published = [&](const std::string& node) {
    return probe_->Count([&](const Message& m) {
      return m.topic.starts_with("kelto/v1/" + node + "/") && m.topic.ends_with("/IORSH_SPEED");
    });
  };
  std::this_thread::sleep_for(300ms);
  probe_->Clear();

  a_.Set("IORSH_SPEED", "5");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 5; }));
  std::this_thread::sleep_for(1s);  // an echo would have sent about 100 by now
  EXPECT_EQ(published("a-out"), 1u);
  EXPECT_EQ(published("b-out"), 1u);

  // The same value written again is no change to publish; another is.
  a_.Set("IORSH_SPEED", "5");
  b_.Set("IORSH_SPEED", "6");
  EXPECT_TRUE(Eventually([&] { return a_.Get("IORSH_SPEED") == 6; }));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(published("a-out"), 2u);
  EXPECT_EQ(published("b-out"), 2u);
}

// One bridge per node and table: a second one stops at once with a reason,
// and so does one whose session another client takes over. The same node
// on another table is another bridge, with a state of its own.
TEST_F(BridgeScenario, OneBridgePerNodeAndTable) {
  a_.Set("IORSH_SPEED", "1");
  ASSERT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 1; }));
  a_.StartSecondBridge({"--broker", broker_.address(), "--node", "rigA", "--export", "IORSH_*"});
  EXPECT_EQ(a_.WaitSecondBridge(), 2);
  EXPECT_EQ(CountLines(a_.second_bridge_log(), "another bridge of node rigA and table"), 1u)
      << a_.second_bridge_log();
  a_.Set("IORSH_SPEED", "2");
  EXPECT_TRUE(Eventually([&] { return b_.Get("IORSH_SPEED") == 2; }));
  EXPECT_EQ(CountLines(a_.bridge_log(), "connected to"), 1u) << a_.bridge_log();

  const std::string other_state = "kelto/v1/rigA/" + b_.segment() + "/$state";
  b_.StartSecondBridge({"--broker", broker_.address(), "--node", "rigA", "--export", "NONE"});
  ASSERT_TRUE(
      probe_->WaitFor([&](const Message& m) { return IsPayload(m, other_state, "online"); }));
  EXPECT_EQ(b_.StopSecondBridge(), 0);
  EXPECT_TRUE(
      probe_->WaitFor([&](const Message& m) { return IsPayload(m, other_state, "offline"); }));
  EXPECT_EQ(
      probe_->Count([&](const Message& m) { return IsPayload(m, TopicA("$state"), "offline"); }),
      0u);

  // A client with rigA's client id (a bridge that started at the same
  // moment) takes the session over: rigA's bridge stops rather than fight.
  Probe usurper(broker_.port(), "", "", "kelto-bridge/rigA/" + a_.segment());
  ASSERT_TRUE(usurper.connected());
  usurper.Publish(TopicA("$state"), "online", 1, true);
  EXPECT_EQ(a_.WaitBridge(), 2);
  EXPECT_EQ(CountLines(a_.bridge_log(), "took this one's session over"), 1u) << a_.bridge_log();
}

// A password file that never ends, or cannot be read, stops the bridge with
// a reason at once: it is neither read until memory runs out nor taken as
// no password at all.
TEST(BridgePasswordFile, WithoutAnEndOrUnreadableItIsRefused) {
  TestEnvironment environment;
  environment.WriteFile("locked", "secret\n");
  chmod(environment.Path("locked").c_str(), 0);
  const bool privileged = access(environment.Path("locked").c_str(), R_OK) == 0;
  // Should the bridge read on without bound, it meets this limit, not the
  // machine's (but for AddressSanitizer, which cannot start under it).
  rlimit saved{};
  getrlimit(RLIMIT_AS, &saved);
  const rlimit limited = kUnderAddressSanitizer ? saved : rlimit{rlim_t{1} << 30, saved.rlim_max};
  for (const std::string& file : {std::string("/dev/zero"), environment.Path("locked")}) {
    if (privileged && file != "/dev/zero") continue;  // root reads any file
    const std::string log = environment.Path("bridge.log");
    setrlimit(RLIMIT_AS, &limited);
    Process bridge({BRIDGE_PATH, "--broker", "127.0.0.1:" + std::to_string(FreeLoopbackPort()),
                    "--node", "n", "--username", "u", "--password-file", file},
                   {"KELTO_SEGMENT=" + environment.segment()}, log);
    setrlimit(RLIMIT_AS, &saved);
    EXPECT_EQ(bridge.Wait(10000), 1) << file;
    EXPECT_NE(environment.ReadFile("bridge.log").find("password"), std::string::npos)
        << file << ": " << environment.ReadFile("bridge.log");
  }
}

// A broker that stops answering is named as such, not as "Unknown error".
TEST(BridgeLink, ABrokerThatStopsAnsweringIsSaidSo) {
  TestEnvironment environment;
  TestBroker broker(environment.directory());
  ASSERT_TRUE(broker.Start());
  Process bridge({BRIDGE_PATH, "--broker", broker.address(), "--node", "n", "--keepalive", "5"},
                 {"KELTO_SEGMENT=" + environment.segment()}, environment.Path("bridge.log"));
  const auto log_holds = [&](const std::string& text, size_t times) {
    return Eventually([&] { return CountLines(environment.ReadFile("bridge.log"), text) >= times; },
                      30000);
  };
  ASSERT_TRUE(log_holds("connected to", 1)) << environment.ReadFile("bridge.log");
  broker.Freeze(true);
  EXPECT_TRUE(log_holds("no answer from the broker within the keep-alive time of 5 s", 1))
      << environment.ReadFile("bridge.log");
  broker.Freeze(false);
  EXPECT_TRUE(log_holds("connected to", 2)) << environment.ReadFile("bridge.log");
  bridge.Signal(SIGTERM);
  EXPECT_EQ(bridge.Wait(), 0);
}

// TLS and login mistakes, with certificates made for the test: each says
// why, in the library's words; those of local files stop the bridge at
// start with status 2, and the broker's refusals are retried slowly.
TEST(BridgeTls, EveryMistakeSaysWhy) {
  TestEnvironment environment;
  const auto path = [&](const std::string& name) { return environment.Path(name); };
  const auto openssl = [&](std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), OPENSSL_PATH);
    return RunToEnd(arguments, path("openssl.log"));
  };
  const std::vector<std::string> new_key{"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
  const auto make_ca = [&](const std::string& name) {
    std::vector<std::string> arguments{"req", "-x509"};
    arguments.insert(arguments.end(), new_key.begin(), new_key.end());
    arguments.insert(arguments.end(), {"-keyout", path(name + ".key"), "-out", path(name + ".pem"),
                                       "-subj", "/CN=" + name, "-days", "2"});
    ASSERT_EQ(openssl(arguments), 0) << environment.ReadFile("openssl.log");
  };
  const auto make_certificate = [&](const std::string& name, const std::string& alt_name) {
    std::vector<std::string> arguments{"req"};
    arguments.insert(arguments.end(), new_key.begin(), new_key.end());
    arguments.insert(arguments.end(), {"-keyout", path(name + ".key"), "-out", path(name + ".csr"),
                                       "-subj", "/CN=" + name});
    ASSERT_EQ(openssl(arguments), 0) << environment.ReadFile("openssl.log");
    environment.WriteFile(name + ".ext", "subjectAltName=" + alt_name + "\n");
    ASSERT_EQ(openssl({"x509", "-req", "-in", path(name + ".csr"), "-CA", path("ca.pem"), "-CAkey",
                       path("ca.key"), "-CAcreateserial", "-out", path(name + ".pem"), "-days", "2",
                       "-extfile", path(name + ".ext")}),
              0)
        << environment.ReadFile("openssl.log");
  };
  make_ca("ca");
  make_ca("other-ca");
  make_certificate("server", "IP:127.0.0.1");
  make_certificate("elsewhere", "DNS:elsewhere.invalid");
  make_certificate("client", "DNS:client");
  environment.WriteFile("not-pem.pem", "hello\n");
  environment.WriteFile("password", "secret\n");

  TestBroker broker(environment.directory());
  const int elsewhere_port = FreeLoopbackPort();
  broker.Secure("allow_anonymous true\ncafile " + path("ca.pem") + "\ncertfile " +
                path("server.pem") + "\nkeyfile " + path("server.key") + "\nlistener " +
                std::to_string(elsewhere_port) + " 127.0.0.1\ncafile " + path("ca.pem") +
                "\ncertfile " + path("elsewhere.pem") + "\nkeyfile " + path("elsewhere.key") +
                "\n");
  ASSERT_TRUE(broker.Start()) << environment.ReadFile("mosquitto.log");

  int run = 0;
  const auto start = [&](int port, std::vector<std::string> arguments) {
    const std::string log = "bridge" + std::to_string(++run) + ".log";
    arguments.insert(arguments.begin(),
                     {BRIDGE_PATH, "--broker", "127.0.0.1:" + std::to_string(port), "--node", "n"});
    return std::make_pair(
        std::make_unique<Process>(
            arguments, std::vector<std::string>{"KELTO_SEGMENT=" + environment.segment()},
            path(log)),
        log);
  };
  const auto log_holds = [&](const std::string& log, const std::string& text) {
    return Eventually([&] { return environment.ReadFile(log).find(text) != std::string::npos; },
                      20000);
  };

  // The right CA: connected.
  auto [good, good_log] = start(broker.port(), {"--cafile", path("ca.pem")});
  EXPECT_TRUE(log_holds(good_log, "connected to")) << environment.ReadFile(good_log);
  good->Signal(SIGTERM);
  EXPECT_EQ(good->Wait(), 0);

  // Another CA, or a certificate for another host name: OpenSSL's reason,
  // once, with the time of the next try.
  for (const auto& [port, ca] : {std::pair{broker.port(), std::string("other-ca.pem")},
                                 std::pair{elsewhere_port, std::string("ca.pem")}}) {
    auto [bridge, log] = start(port, {"--cafile", path(ca)});
    EXPECT_TRUE(log_holds(log, "certificate verify failed")) << environment.ReadFile(log);
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(CountLines(environment.ReadFile(log), "next try at"), 1u)
        << environment.ReadFile(log);
    bridge->Signal(SIGTERM);
    EXPECT_EQ(bridge->Wait(), 0);
  }

  // Local mistakes stop it at start with status 2 and the reason.
  const std::vector<std::pair<std::vector<std::string>, std::string>> mistakes = {
      {{"--cafile", path("not-pem.pem")}, "--cafile"},
      {{"--cafile", path("ca.pem"), "--cert", path("client.pem"), "--key", path("other-ca.key")},
       "cannot be used with --cert"},
      {{"--password-file", path("password")}, "--username"},
  };
  for (const auto& [arguments, reason] : mistakes) {
    auto [bridge, log] = start(broker.port(), arguments);
    EXPECT_EQ(bridge->Wait(), 2) << reason;
    EXPECT_NE(environment.ReadFile(log).find(reason), std::string::npos)
        << environment.ReadFile(log);
  }
}

}  // namespace
}  // namespace kelto::testing
