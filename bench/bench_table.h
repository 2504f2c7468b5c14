// Tables for the benchmarks: each in its own temporary directory and under
// its own segment name, so a run never touches the defaults or anybody
// else's table.
#ifndef KELTO_BENCH_BENCH_TABLE_H_
#define KELTO_BENCH_BENCH_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kelto::bench {

// `count` distinct names of the kind plants and vehicles use (ENGINE2_OIL_
// PRESSURE_MAX, CABIN_ZONE3_TEMP, ...), without set prefix, varied in length.
std::vector<std::string> MakeVariableNames(size_t count, uint64_t seed);

// A temporary directory and a segment name, exported as KELTO_DIR and
// KELTO_SEGMENT. The destructor removes the directory and the segment's
// shared-memory objects.
class BenchPlace {
 public:
  BenchPlace();
  ~BenchPlace();
  BenchPlace(const BenchPlace&) = delete;
  BenchPlace& operator=(const BenchPlace&) = delete;

  const std::string& directory() const { return directory_; }
  const std::string& segment() const { return segment_; }
  std::string Path(const std::string& file) const { return directory_ + "/" + file; }

  // Makes the two variables current for Opens that follow (a later place
  // takes them over; a forked child inherits them).
  void Export() const;
  void WriteFile(const std::string& file, const std::string& content) const;
  // Puts a directory where the log file would go, so Open runs without a log.
  void PreventLog() const;
  // Puts a directory where the segment's change log would go: Open cannot
  // make one, and the table then works without a change feed (no write is
  // marked). The figure of a write without marking comes from such a table.
  void PreventChangeLog() const;

 private:
  std::string ChangeLogBlocker() const;

  std::string directory_;
  std::string segment_;
};

// The definition lines for `names`, with a realistic mix of type letters:
// mostly L and D, some strings, bytes and words. Returns the type of each.
std::string DefinitionLines(const std::vector<std::string>& names, size_t first, size_t count,
                            std::vector<char>* types);

// A table of `count` variables (half iorsh, half memsh) opened in this
// process without a log, with the baseline attached to the same view; with
// its change log, unless `marking` is false.
class OpenTable {
 public:
  explicit OpenTable(size_t count, bool marking = true);
  ~OpenTable();
  OpenTable(const OpenTable&) = delete;
  OpenTable& operator=(const OpenTable&) = delete;

  bool ok() const { return ok_; }
  size_t size() const { return full_names_.size(); }
  bool marking() const { return marking_; }
  const std::vector<std::string>& full_names() const { return full_names_; }
  // Names of the iorsh set without their prefix, for the facade.
  const std::vector<std::string>& iorsh_short_names() const { return iorsh_short_names_; }
  const std::vector<char>& types() const { return types_; }
  char* view() const { return view_; }

 private:
  BenchPlace place_;
  std::vector<std::string> full_names_;
  std::vector<std::string> iorsh_short_names_;
  std::vector<char> types_;
  char* view_ = nullptr;
  bool marking_ = true;
  bool ok_ = false;
};

// The table of the last size (and marking) asked for stays open, so
// benchmarks of one size share it; asking for another closes it first.
OpenTable& TableOfSize(size_t count, bool marking = true);
void CloseSharedTable();

// Pointers into `texts` in random order, repeated to at least `minimum`.
std::vector<const char*> RandomOrder(const std::vector<std::string>& texts, size_t minimum,
                                     uint64_t seed);

}  // namespace kelto::bench

#endif  // KELTO_BENCH_BENCH_TABLE_H_
