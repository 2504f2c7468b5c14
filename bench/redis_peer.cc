// Redis beside kelto: a redis-server of the benchmark's own, on a loopback
// port of its own with its files in a temporary directory, holding the same
// variables as string keys. GET one at a time and pipelined by 100, beside
// KeltoReadVarName on the same names.
#include <benchmark/benchmark.h>
#include <hiredis/hiredis.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench_loop.h"
#include "bench_registry.h"
#include "bench_table.h"
#include "kelto.h"

namespace kelto::bench {
namespace {

constexpr size_t kTableSizes[] = {1000, 100000};
constexpr size_t kMinimumOrder = 4096;
constexpr size_t kPipelineDepth = 100;
constexpr const char* kServer = "/usr/bin/redis-server";

// A port the kernel has just handed out on 127.0.0.1, free again for the
// server to take.
int FreeLoopbackPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  int port = -1;
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
      getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
    port = ntohs(address.sin_port);
  }
  close(fd);
  return port;
}

// The server and one connection to it; the destructor stops the server and
// waits for it, and the temporary directory goes with the place.
class RedisServer {
 public:
  RedisServer() {
    port_ = FreeLoopbackPort();
    if (port_ < 0) return;
    const std::string port = std::to_string(port_);
    const std::string log = place_.Path("redis.log");
    pid_ = fork();
    if (pid_ == 0) {
      // Never outlive the benchmark, even if it is killed.
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      execl(kServer, kServer, "--bind", "127.0.0.1", "--port", port.c_str(), "--dir",
            place_.directory().c_str(), "--logfile", log.c_str(), "--save", "", "--appendonly",
            "no", "--daemonize", "no", "--protected-mode", "yes", static_cast<char*>(nullptr));
      _exit(127);
    }
    if (pid_ < 0) return;
    for (int attempt = 0; attempt < 500 && context_ == nullptr; ++attempt) {
      redisContext* context = redisConnect("127.0.0.1", port_);
      if (context != nullptr && context->err == 0) {
        context_ = context;
      } else {
        if (context != nullptr) redisFree(context);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
  }
  ~RedisServer() {
    if (context_ != nullptr) redisFree(context_);
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  RedisServer(const RedisServer&) = delete;
  RedisServer& operator=(const RedisServer&) = delete;

  redisContext* context() const { return context_; }

  // Every variable of `table` as a key holding its value's text.
  bool Load(const OpenTable& table) {
    if (context_ == nullptr) return false;
    if (!Command("FLUSHALL")) return false;
    for (size_t first = 0; first < table.size(); first += kPipelineDepth) {
      const size_t end = std::min(table.size(), first + kPipelineDepth);
      for (size_t i = first; i < end; ++i) {
        const std::string value = std::to_string(i);
        redisAppendCommand(context_, "SET %s %s", table.full_names()[i].c_str(), value.c_str());
      }
      for (size_t i = first; i < end; ++i) {
        if (!Reply()) return false;
      }
    }
    loaded_ = table.size();
    return true;
  }
  size_t loaded() const { return loaded_; }

 private:
  bool Command(const char* command) {
    void* reply = redisCommand(context_, command);
    if (reply == nullptr) return false;
    freeReplyObject(reply);
    return true;
  }
  bool Reply() {
    void* reply = nullptr;
    if (redisGetReply(context_, &reply) != REDIS_OK || reply == nullptr) return false;
    freeReplyObject(reply);
    return true;
  }

  BenchPlace place_;
  int port_ = -1;
  pid_t pid_ = -1;
  redisContext* context_ = nullptr;
  size_t loaded_ = 0;
};

std::unique_ptr<RedisServer> g_server;

redisContext* ServerFor(const OpenTable& table) {
  if (!g_server) g_server = std::make_unique<RedisServer>();
  // Starting the server exported its place; the table's stays current.
  if (g_server->loaded() != table.size() && !g_server->Load(table)) return nullptr;
  return g_server->context();
}

char g_destination[KELTO_VALUE_SIZE];

void CopyReply(redisReply* reply) {
  if (reply != nullptr && reply->type == REDIS_REPLY_STRING) {
    const size_t length = std::min(reply->len, sizeof g_destination - 1);
    std::memcpy(g_destination, reply->str, length);
    g_destination[length] = '\0';
  }
  benchmark::DoNotOptimize(g_destination);
  freeReplyObject(reply);
}

enum class How { kKelto, kGet, kPipelined };

void Read(benchmark::State& state, size_t table_size, How how) {
  OpenTable& table = TableOfSize(table_size);
  if (!table.ok()) return state.SkipWithError("the table did not open");
  const std::vector<const char*> order = RandomOrder(table.full_names(), kMinimumOrder, 99);
  if (how == How::kKelto) {
    RunInOrder(state, order, [](const char* name) {
      benchmark::DoNotOptimize(KeltoReadVarName(name, g_destination));
      benchmark::DoNotOptimize(g_destination);
    });
    return;
  }
  redisContext* context = ServerFor(table);
  if (context == nullptr) return state.SkipWithError("the redis server did not start");
  if (how == How::kGet) {
    RunInOrder(state, order, [context](const char* name) {
      CopyReply(static_cast<redisReply*>(redisCommand(context, "GET %s", name)));
    });
    return;
  }
  // One iteration is a batch of 100 GETs; the summary divides by it.
  size_t next = 0;
  for (auto _ : state) {
    for (size_t i = 0; i < kPipelineDepth; ++i) {
      redisAppendCommand(context, "GET %s", order[next]);
      if (++next == order.size()) next = 0;
    }
    for (size_t i = 0; i < kPipelineDepth; ++i) {
      void* reply = nullptr;
      if (redisGetReply(context, &reply) != REDIS_OK) return state.SkipWithError("GET failed");
      CopyReply(static_cast<redisReply*>(reply));
    }
  }
  state.counters["calls/iteration"] = static_cast<double>(kPipelineDepth);
}

}  // namespace

void RegisterRedisPeer() {
  if (access(kServer, X_OK) != 0) {
    std::fprintf(stderr, "kelto_bench: %s is missing (Debian: redis-server); no Redis peer\n",
                 kServer);
    return;
  }
  for (const size_t size : kTableSizes) {
    const std::string prefix = "peer/redis/" + std::to_string(size) + "/";
    const auto add = [&](const std::string& name, How how) {
      benchmark::RegisterBenchmark((prefix + name).c_str(), Read, size, how)->UseRealTime();
    };
    add("GET/kelto", How::kKelto);
    add("GET/redis", How::kGet);
    add("GET_pipelined_by_100/kelto", How::kKelto);
    add("GET_pipelined_by_100/redis", How::kPipelined);
  }
}

void StopRedisPeer() { g_server.reset(); }

}  // namespace kelto::bench
