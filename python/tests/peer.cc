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
//
// Values are parsed and formatted by the live API's one codec (TEXT syntax).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "kelto.h"
#include "kelto_live.h"

namespace {

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
