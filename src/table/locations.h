// Where the definition files, the log and the segment are.
#ifndef KELTO_TABLE_LOCATIONS_H_
#define KELTO_TABLE_LOCATIONS_H_

namespace kelto {

inline constexpr int kPathSize = 1024;
inline constexpr const char* kDefaultDirectory = "/helvor/";
inline constexpr const char* kDefaultSegmentName = "keltovariables";
inline constexpr const char* kIorshFile = "iorsh.mem";
inline constexpr const char* kMemshFile = "memsh.mem";
inline constexpr const char* kLogFile = "kelto_log.txt";

// Read from KELTO_DIR and KELTO_SEGMENT at every Open; unset or empty means
// the default. A directory without a trailing slash gets one.
struct Locations {
  char directory[kPathSize];
  char segment[256];
};
Locations CurrentLocations();

// Composes directory + file into `path`. False when it does not fit; `path`
// then holds the cut text, good only for a log line.
bool ComposePath(const Locations& locations, const char* file, char (&path)[kPathSize]);

}  // namespace kelto

#endif  // KELTO_TABLE_LOCATIONS_H_
