// A program for the Python tests: holds the table through libkelto's Open
// and reads and writes it on command, one command a line on stdin, one reply
// a line on stdout.
//
//   open             KeltoOpen; reply "ok COUNT"
//   set NAME TEXT    write as an observer of the live API (marks the change)
//   pset NAME TEXT   write through libkelto's own write by name
//   get NAME         the value as libkelto reads it; reply "value TEXT"
//   burst NAME N     N writes of 1..N through the live API
//   close            KeltoClose
//   stop gate        take the segment's gate as a program's Open does, then
//                    stop (SIGSTOP) holding it; reply "ok" first
//   stop drain       take the change log's drain lock as a waiter does, then
//                    stop holding it; reply "ok" first
//
// Values are parsed and formatted by the live API's one codec (TEXT syntax).
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "changes/change_log.h"
#include "changes/drain_lock.h"
#include "kelto.h"
#include "kelto_live.h"

namespace {

std::string SegmentObject(const char* suffix) {
  const char* segment = std::getenv("KELTO_SEGMENT");
  return std::string("/") + (segment != nullptr ? segment : "keltovariables") + suffix;
}

// As the library takes the gate: an open-file-description write lock on
// byte 0 of NAME.lock, made if missing (a program's Open makes it).
bool TakeGate() {
  const int fd = shm_open(SegmentObject(".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// The lock waiters take to drain the change log's lanes.
bool TakeDrainLock() {
  const int fd = shm_open(SegmentObject(".changes").c_str(), O_RDWR | O_CLOEXEC, 0);
  if (fd < 0) return false;
  void* log = mmap(nullptr, kelto::ChangeLogBytes(), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (log == MAP_FAILED) return false;
  auto* header = static_cast<kelto::ChangeLogHeader*>(log);
  const int64_t patience = kelto::MonotonicNs() + 5'000'000'000;
  return kelto::TakeDrainLock(&header->drain_lock, patience, patience);
}

std::string StopHolding(const std::string& what) {
  const bool taken = what == "gate" ? TakeGate() : what == "drain" ? TakeDrainLock() : false;
  if (!taken) return "error cannot take " + what;
  std::cout << "ok" << std::endl;
  raise(SIGSTOP);
  return "resumed";
}

class Peer {
 public:
  std::string Run(const std::string& command, std::istringstream& words) {
    if (command == "open") return Open();
    if (command == "close") return Close();
    std::string name;
    words >> name;
    std::string text;
    std::getline(words >> std::ws, text);
    if (command == "set") return Set(name, text);
    if (command == "pset") return ProgramSet(name, text);
    if (command == "get") return Get(name);
    if (command == "burst") return Burst(name, text);
    if (command == "stop") return StopHolding(name);
    return "error unknown command";
  }
  std::string Close() {
    kelto_live_detach(live_);
    live_ = nullptr;
    KeltoClose();
    return "ok";
  }

 private:
  std::string Open() {
    KeltoOpen();
    if (KeltoGetNumberOfItems() == 0) return "error no table";
    if (kelto_live_attach(nullptr, &live_) != KELTO_LIVE_OK) return "error no live table";
    return "ok " + std::to_string(KeltoGetNumberOfItems());
  }
  std::string Set(const std::string& name, const std::string& text) {
    uint32_t ident = 0;
    if (kelto_live_find(live_, name.c_str(), &ident) != KELTO_LIVE_OK) return "error unknown";
    char reason[256] = "";
    const kelto_live_result result = kelto_live_set(live_, ident, text.data(), text.size(),
                                                    KELTO_LIVE_TEXT, reason, sizeof reason);
    return result == KELTO_LIVE_OK ? "ok" : std::string("error ") + reason;
  }
  std::string ProgramSet(const std::string& name, const std::string& text) {
    char value[KELTO_LIVE_VALUE_SIZE];
    char reason[256] = "";
    if (kelto_live_parse(KeltoGetTypeVarName(name.c_str()), text.data(), text.size(),
                         KELTO_LIVE_TEXT, value, reason, sizeof reason) != KELTO_LIVE_OK) {
      return std::string("error ") + reason;
    }
    return KeltoWriteVarName(name.c_str(), value) >= 0 ? "ok" : "error write";
  }
  std::string Get(const std::string& name) {
    char value[KELTO_LIVE_VALUE_SIZE] = {};
    if (KeltoReadVarName(name.c_str(), value) < 0) return "error unknown";
    char text[KELTO_LIVE_TEXT_SIZE];
    kelto_live_format_value(KeltoGetTypeVarName(name.c_str()), value, KELTO_LIVE_TEXT, text,
                            sizeof text);
    return std::string("value ") + text;
  }
  std::string Burst(const std::string& name, const std::string& count) {
    uint32_t ident = 0;
    if (kelto_live_find(live_, name.c_str(), &ident) != KELTO_LIVE_OK) return "error unknown";
    const long writes = std::strtol(count.c_str(), nullptr, 10);
    for (long i = 1; i <= writes; ++i) kelto_live_set_int(live_, ident, i);
    return "ok";
  }

  kelto_live* live_ = nullptr;
};

}  // namespace

int main() {
  Peer peer;
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream words(line);
    std::string command;
    words >> command;
    std::cout << peer.Run(command, words) << std::endl;
  }
  peer.Close();
  return 0;
}
