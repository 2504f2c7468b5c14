#include "keltoctl/recording/recording_reader.h"

#include <cerrno>
#include <cstring>
#include <optional>

#include "keltoctl/recording/dataset_names.h"
#include "keltoctl/recording/hdf5_handle.h"
#include "keltoctl/recording/recording_file.h"
#include "keltoctl/recording/row_types.h"

namespace keltoctl {
namespace {

Hdf5Handle Owned(hid_t id, Hdf5Handle::Closer closer, const std::string& what) {
  if (id < 0) throw RecordingFailure(what, errno);
  return Hdf5Handle(id, closer);
}

// A file being written (or left by a killed writer) opens only for a reader
// in single-writer/multiple-reader mode; a file of another format only
// without it.
Hdf5Handle OpenFile(const std::string& path) {
  hid_t file = H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT);
  if (file < 0) file = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  return Owned(file, H5Fclose, "opening the file");
}

herr_t CollectName(hid_t, const char* name, const H5L_info_t*, void* names) {
  static_cast<std::vector<std::string>*>(names)->push_back(name);
  return 0;
}

char TypeLetterOf(hid_t dataset, const std::string& what) {
  Hdf5Handle attribute = Owned(H5Aopen(dataset, "type", H5P_DEFAULT), H5Aclose, what);
  const Hdf5Handle text = FixedStringType(1);
  char letter = 0;
  if (H5Aread(attribute.get(), text.get(), &letter) < 0) throw RecordingFailure(what, 0);
  return letter;
}

RecordedSeries ReadSeries(hid_t group, const std::string& dataset_name) {
  const std::string what = "reading 'variables/" + dataset_name + "'";
  RecordedSeries series;
  const std::optional<std::string> name = VariableNameOf(dataset_name);
  if (!name) throw RecordingFailure(what + ": not a variable's dataset name", 0);
  series.name = *name;
  Hdf5Handle dataset = Owned(H5Dopen2(group, dataset_name.c_str(), H5P_DEFAULT), H5Dclose, what);
  series.type = TypeLetterOf(dataset.get(), what);
  series.value_bytes = RowValueBytes(series.type);
  const Hdf5Handle row_type = RowMemoryType(series.type);
  if (!row_type.valid()) throw RecordingFailure(what + ": a type without a value", 0);
  Hdf5Handle space = Owned(H5Dget_space(dataset.get()), H5Sclose, what);
  const hssize_t count = H5Sget_simple_extent_npoints(space.get());
  if (count < 0) throw RecordingFailure(what, 0);
  const size_t row_bytes = RowBytes(series.type);
  std::vector<char> rows(static_cast<size_t>(count) * row_bytes);
  if (count > 0 &&
      H5Dread(dataset.get(), row_type.get(), H5S_ALL, H5S_ALL, H5P_DEFAULT, rows.data()) < 0) {
    throw RecordingFailure(what, errno);
  }
  series.times.resize(static_cast<size_t>(count));
  series.values.resize(static_cast<size_t>(count) * series.value_bytes);
  for (size_t row = 0; row < series.times.size(); ++row) {
    std::memcpy(&series.times[row], rows.data() + row * row_bytes, sizeof(int64_t));
    std::memcpy(series.values.data() + row * series.value_bytes,
                rows.data() + row * row_bytes + kRowValueOffset, series.value_bytes);
  }
  return series;
}

}  // namespace

std::vector<RecordedSeries> ReadRecording(const std::string& path) {
  SilenceHdf5Errors();
  const Hdf5Handle file = OpenFile(path);
  Hdf5Handle group = Owned(H5Gopen2(file.get(), kVariablesGroup, H5P_DEFAULT), H5Gclose,
                           "opening the group 'variables'");
  std::vector<std::string> names;
  hsize_t position = 0;
  if (H5Literate(group.get(), H5_INDEX_NAME, H5_ITER_INC, &position, CollectName, &names) < 0) {
    throw RecordingFailure("listing the variables", 0);
  }
  std::vector<RecordedSeries> recording;
  recording.reserve(names.size());
  for (const std::string& name : names) recording.push_back(ReadSeries(group.get(), name));
  return recording;
}

}  // namespace keltoctl
