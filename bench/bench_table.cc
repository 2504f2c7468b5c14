#include "bench_table.h"

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "kelto.h"
#include "minimal_access.h"

namespace kelto::bench {
namespace {

constexpr std::array<std::string_view, 40> kAreas = {
    "ENGINE",     "HYDRAULIC", "FUEL",     "CABIN",   "GEAR",   "BRAKE",    "APU",    "ELEC",
    "BLEED",      "PACK",      "NAV",      "RADIO",   "DOOR",   "WING",     "FLAP",   "SLAT",
    "SPOILER",    "RUDDER",    "ELEVATOR", "AILERON", "PUMP",   "VALVE",    "TANK",   "GEN",
    "BATTERY",    "INVERTER",  "FAN",      "COOLER",  "HEATER", "CONVEYOR", "BOILER", "TURBINE",
    "COMPRESSOR", "MIXER",     "ROBOT",    "SPINDLE", "PRESS",  "OVEN",     "CRANE",  "LIFT"};
constexpr std::array<std::string_view, 16> kIndexes = {"",  "",  "",  "1", "2", "3", "4", "5",
                                                       "6", "7", "8", "L", "R", "A", "B", "C"};
constexpr std::array<std::string_view, 24> kParts = {
    "",      "",       "",      "",         "OIL",    "COOLANT", "INLET",   "OUTLET",
    "MAIN",  "AUX",    "ZONE1", "ZONE2",    "ZONE3",  "MOTOR",   "BEARING", "FILTER",
    "SHAFT", "NOZZLE", "DRIVE", "ACTUATOR", "SENSOR", "LOOP",    "STAGE2",  "BYPASS"};
constexpr std::array<std::string_view, 28> kSignals = {
    "PRESSURE", "TEMP",    "FLOW",      "SPEED", "RPM",    "LEVEL",    "POSITION",
    "CURRENT",  "VOLTAGE", "STATUS",    "FAULT", "CMD",    "SETPOINT", "QTY",
    "RATE",     "TORQUE",  "VIBRATION", "ANGLE", "LOAD",   "MODE",     "COUNT",
    "HOURS",    "DEMAND",  "STATE",     "ALARM", "ENABLE", "FEEDBACK", "ERROR_CODE"};
constexpr std::array<std::string_view, 12> kQualifiers = {
    "", "", "", "", "", "_MAX", "_MIN", "_AVG", "_RAW", "_FILTERED", "_VALID", "_LIMIT_HI"};

// Weighted towards numbers, as real tables are.
constexpr std::string_view kTypeMix = "LLLLDDDD$BWLDHMO";

std::string Temporary() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kelto-bench-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

std::string UniqueSegmentName() {
  static std::atomic<unsigned> serial{0};
  return "kelto-bench-" + std::to_string(getpid()) + "-" + std::to_string(serial++);
}

std::unique_ptr<OpenTable> g_shared_table;

}  // namespace

std::vector<std::string> MakeVariableNames(size_t count, uint64_t seed) {
  std::mt19937_64 random(seed);
  const auto pick = [&](const auto& words) { return words[random() % words.size()]; };
  std::unordered_set<std::string> seen;
  std::vector<std::string> names;
  names.reserve(count);
  while (names.size() < count) {
    std::string name(pick(kAreas));
    name += pick(kIndexes);
    const std::string_view part = pick(kParts);
    if (!part.empty()) {
      name += '_';
      name += part;
    }
    name += '_';
    name += pick(kSignals);
    name += pick(kQualifiers);
    // Large tables run out of combinations: number the rest like channels.
    if (seen.count(name) != 0) name += "_CH" + std::to_string(random() % 1000);
    if (seen.insert(name).second) names.push_back(std::move(name));
  }
  return names;
}

BenchPlace::BenchPlace() : directory_(Temporary()), segment_(UniqueSegmentName()) { Export(); }

BenchPlace::~BenchPlace() {
  shm_unlink(("/" + segment_).c_str());
  shm_unlink(("/" + segment_ + ".lock").c_str());
  shm_unlink(("/" + segment_ + ".changes").c_str());
  rmdir(ChangeLogBlocker().c_str());
  std::error_code ignored;
  std::filesystem::remove_all(directory_, ignored);
}

void BenchPlace::Export() const {
  setenv("KELTO_DIR", directory_.c_str(), 1);
  setenv("KELTO_SEGMENT", segment_.c_str(), 1);
}

void BenchPlace::WriteFile(const std::string& file, const std::string& content) const {
  std::ofstream out(Path(file), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + Path(file));
}

void BenchPlace::PreventLog() const { mkdir(Path("kelto_log.txt").c_str(), 0700); }

// Where glibc keeps the change log's shared-memory object.
std::string BenchPlace::ChangeLogBlocker() const { return "/dev/shm/" + segment_ + ".changes"; }

void BenchPlace::PreventChangeLog() const {
  if (mkdir(ChangeLogBlocker().c_str(), 0700) != 0) {
    throw std::runtime_error("cannot block " + ChangeLogBlocker());
  }
}

std::string DefinitionLines(const std::vector<std::string>& names, size_t first, size_t count,
                            std::vector<char>* types) {
  std::string lines = "[VARIABLES]\n";
  for (size_t i = first; i < first + count; ++i) {
    const char type = kTypeMix[i % kTypeMix.size()];
    lines += names[i];
    lines += '=';
    lines += type;
    lines += '\n';
    if (types != nullptr) types->push_back(type);
  }
  return lines;
}

OpenTable::OpenTable(size_t count, bool marking) : marking_(marking) {
  const std::vector<std::string> names = MakeVariableNames(count, 0x6b656c746f + count);
  const size_t iorsh = count / 2;
  place_.WriteFile("iorsh.mem", DefinitionLines(names, 0, iorsh, &types_));
  place_.WriteFile("memsh.mem", DefinitionLines(names, iorsh, count - iorsh, &types_));
  place_.PreventLog();
  if (!marking) place_.PreventChangeLog();
  for (size_t i = 0; i < count; ++i) {
    full_names_.push_back((i < iorsh ? "IORSH_" : "MEMSH_") + names[i]);
    if (i < iorsh) iorsh_short_names_.push_back(names[i]);
  }
  KeltoOpen();
  view_ = static_cast<char*>(KeltoGetPointer());
  ok_ = view_ != nullptr && KeltoGetNumberOfItems() == count;
  if (ok_) MinimalAttach(view_, static_cast<uint32_t>(count));
}

OpenTable::~OpenTable() {
  MinimalDetach();
  KeltoClose();
}

OpenTable& TableOfSize(size_t count, bool marking) {
  if (!g_shared_table || g_shared_table->size() != count || g_shared_table->marking() != marking) {
    g_shared_table.reset();
    g_shared_table = std::make_unique<OpenTable>(count, marking);
  }
  return *g_shared_table;
}

void CloseSharedTable() { g_shared_table.reset(); }

std::vector<const char*> RandomOrder(const std::vector<std::string>& texts, size_t minimum,
                                     uint64_t seed) {
  std::mt19937_64 random(seed);
  std::vector<const char*> order;
  while (order.size() < minimum || order.empty()) {
    std::vector<const char*> round;
    for (const std::string& text : texts) round.push_back(text.c_str());
    std::shuffle(round.begin(), round.end(), random);
    order.insert(order.end(), round.begin(), round.end());
  }
  return order;
}

}  // namespace kelto::bench
