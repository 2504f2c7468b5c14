#include "table/locations.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelto {
namespace {

const char* EnvironmentOr(const char* variable, const char* fallback) {
  const char* value = std::getenv(variable);
  return value != nullptr && value[0] != '\0' ? value : fallback;
}

}  // namespace

Locations CurrentLocations() {
  Locations locations;
  const char* directory = EnvironmentOr("KELTO_DIR", kDefaultDirectory);
  const size_t length = std::strlen(directory);
  const char* slash = directory[length - 1] == '/' ? "" : "/";
  std::snprintf(locations.directory, sizeof locations.directory, "%s%s", directory, slash);
  std::snprintf(locations.segment, sizeof locations.segment, "%s",
                EnvironmentOr("KELTO_SEGMENT", kDefaultSegmentName));
  return locations;
}

bool ComposePath(const Locations& locations, const char* file, char (&path)[kPathSize]) {
  const int length = std::snprintf(path, sizeof path, "%s%s", locations.directory, file);
  return length >= 0 && length < kPathSize;
}

}  // namespace kelto
