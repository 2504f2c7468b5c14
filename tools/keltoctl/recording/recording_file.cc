#include "keltoctl/recording/recording_file.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <exception>
#include <mutex>
#include <thread>

#include "keltoctl/recording/dataset_names.h"
#include "keltoctl/recording/hdf5_handle.h"
#include "keltoctl/recording/row_types.h"

namespace keltoctl {
namespace {

// Rows per chunk. Each flush writes the chunk being filled again, and in
// single-writer/multiple-reader mode HDF5 does not give the old copy's space
// back while readers may still read it: a smaller chunk wastes less (1,024
// rows cost a 100 Hz counter 18 bytes a row in the file, 256 rows 8), a
// larger one compresses better.
constexpr hsize_t kChunkRows = 256;
constexpr hsize_t kEventChunkRows = 64;
constexpr unsigned kDeflateLevel = 1;
// Each dataset keeps its chunk being filled in memory between flushes.
constexpr size_t kChunkCacheSlots = 7;
constexpr size_t kChunkCacheBytes = 256 * 1024;

// Room for what a flush writes besides the rows: chunk indexes, object
// headers, the superblock, and the close.
constexpr uint64_t kMetadataMargin = 64 * 1024;
constexpr uint64_t kMarginPerDataset = 4096;

[[noreturn]] void Fail(const std::string& what) { throw RecordingFailure(what, errno); }

void Checked(herr_t status, const std::string& what) {
  if (status < 0) Fail(what);
}

Hdf5Handle Owned(hid_t id, Hdf5Handle::Closer closer, const char* what) {
  if (id < 0) Fail(what);
  return Hdf5Handle(id, closer);
}

struct EventRow {
  int64_t time;
  char kind[kEventKindSize];
  char text[kEventTextSize];
};

Hdf5Handle EventType() {
  Hdf5Handle row = Owned(H5Tcreate(H5T_COMPOUND, sizeof(EventRow)), H5Tclose, "event type");
  H5Tinsert(row.get(), "time", offsetof(EventRow, time), H5T_NATIVE_INT64);
  H5Tinsert(row.get(), "kind", offsetof(EventRow, kind), FixedStringType(kEventKindSize).get());
  H5Tinsert(row.get(), "text", offsetof(EventRow, text), FixedStringType(kEventTextSize).get());
  return row;
}

void WriteAttribute(hid_t object, const char* name, hid_t type, const void* value,
                    hsize_t count = 0) {
  Hdf5Handle space = count == 0
                         ? Owned(H5Screate(H5S_SCALAR), H5Sclose, "attribute space")
                         : Owned(H5Screate_simple(1, &count, nullptr), H5Sclose, "attribute space");
  Hdf5Handle attribute = Owned(
      H5Acreate2(object, name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose, "attribute");
  Checked(H5Awrite(attribute.get(), type, value), std::string("attribute ") + name);
}

void WriteText(hid_t object, const char* name, std::string_view text) {
  const Hdf5Handle type = FixedStringType(std::max<size_t>(text.size(), 1));
  const std::string padded(text.empty() ? std::string(1, '\0') : std::string(text));
  WriteAttribute(object, name, type.get(), padded.data());
}

// The names as one array of fixed-size strings; an empty list is an array
// of one empty string's width and no element.
void WriteTextList(hid_t object, const char* name, const std::vector<std::string>& texts) {
  size_t width = 1;
  for (const std::string& text : texts) width = std::max(width, text.size());
  std::string packed(width * std::max<size_t>(texts.size(), 1), '\0');
  for (size_t i = 0; i < texts.size(); ++i) texts[i].copy(packed.data() + i * width, width);
  const Hdf5Handle type = FixedStringType(width);
  const hsize_t count = texts.size();
  Hdf5Handle space = Owned(H5Screate_simple(1, &count, nullptr), H5Sclose, "attribute space");
  Hdf5Handle attribute =
      Owned(H5Acreate2(object, name, type.get(), space.get(), H5P_DEFAULT, H5P_DEFAULT), H5Aclose,
            "attribute");
  if (!texts.empty()) Checked(H5Awrite(attribute.get(), type.get(), packed.data()), name);
}

Hdf5Handle AccessList() {
  Hdf5Handle access = Owned(H5Pcreate(H5P_FILE_ACCESS), H5Pclose, "file access list");
  Checked(H5Pset_libver_bounds(access.get(), H5F_LIBVER_LATEST, H5F_LIBVER_LATEST),
          "file format bounds");
  return access;
}

Hdf5Handle ChunkedList(hsize_t rows) {
  Hdf5Handle create = Owned(H5Pcreate(H5P_DATASET_CREATE), H5Pclose, "dataset creation list");
  Checked(H5Pset_chunk(create.get(), 1, &rows), "chunk size");
  Checked(H5Pset_shuffle(create.get()), "shuffle filter");
  Checked(H5Pset_deflate(create.get(), kDeflateLevel), "deflate filter");
  return create;
}

Hdf5Handle CreateAppendable(hid_t where, const char* name, hid_t file_type, hsize_t chunk_rows,
                            hid_t access) {
  const hsize_t empty = 0;
  const hsize_t unlimited = H5S_UNLIMITED;
  Hdf5Handle space = Owned(H5Screate_simple(1, &empty, &unlimited), H5Sclose, "dataset space");
  const Hdf5Handle create = ChunkedList(chunk_rows);
  return Owned(H5Dcreate2(where, name, file_type, space.get(), H5P_DEFAULT, create.get(), access),
               H5Dclose, "dataset");
}

// Rows kept for one dataset until the next flush.
struct PendingRows {
  Hdf5Handle dataset;
  Hdf5Handle memory_type;
  size_t row_bytes = 0;
  hsize_t written = 0;
  std::vector<char> rows;

  // The most that writing the kept rows can add to the file: the chunk being
  // filled is written again whole, and deflate may grow what it cannot
  // compress by a little.
  uint64_t GrowthBound() const {
    const uint64_t rows_in_chunk = written % kChunkRows + rows.size() / row_bytes;
    const uint64_t bytes = rows_in_chunk * row_bytes;
    return bytes + bytes / 64 + kMarginPerDataset;
  }

  void WriteOut() {
    const hsize_t count = rows.size() / row_bytes;
    if (count == 0) return;
    const hsize_t total = written + count;
    Checked(H5Dset_extent(dataset.get(), &total), "extending a dataset");
    Hdf5Handle file_space = Owned(H5Dget_space(dataset.get()), H5Sclose, "dataset space");
    Checked(
        H5Sselect_hyperslab(file_space.get(), H5S_SELECT_SET, &written, nullptr, &count, nullptr),
        "selecting rows");
    Hdf5Handle memory_space = Owned(H5Screate_simple(1, &count, nullptr), H5Sclose, "row space");
    Checked(H5Dwrite(dataset.get(), memory_type.get(), memory_space.get(), file_space.get(),
                     H5P_DEFAULT, rows.data()),
            "writing rows");
    written = total;
    rows.clear();
  }
};

}  // namespace

void SilenceHdf5Errors() {
  // A file whose close failed (a full disk) stays in HDF5's books, and its
  // clean-up at exit would touch it again (and crash in 1.10): the file is
  // left as the last flush wrote it instead.
  H5dont_atexit();
  H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
}

// Rows kept by the recording thread until the writing thread takes them.
struct KeptRows {
  std::vector<std::vector<char>> variables;
  std::vector<size_t> dirty;
  std::vector<bool> listed;
  std::vector<size_t> row_bytes;
  std::vector<char> events;
};

// The recording thread only keeps rows; one writing thread owns every HDF5
// call after the file is made, so compressing and writing a second of rows
// never holds up the reading of changes (a stall there would let the change
// log run ahead and cost a resync).
struct RecordingFile::State {
  std::string path;
  Hdf5Handle file;
  Hdf5Handle group;
  std::vector<PendingRows> variables;
  PendingRows events;
  std::vector<size_t> dirty;

  std::mutex mutex;
  std::condition_variable wake;
  KeptRows kept;
  bool flush_wanted = false;
  bool closing = false;
  std::exception_ptr failure;
  std::thread writer;
};

RecordingFile::RecordingFile(const std::string& path, bool replace, const RecordingHeader& header,
                             const std::vector<RecordedVariable>& variables)
    : state_(std::make_unique<State>()) {
  state_->path = path;
  struct stat existing;
  if (!replace && stat(path.c_str(), &existing) == 0) {
    throw RecordingFailure("the file exists (--force replaces it)", EEXIST);
  }
  const Hdf5Handle access = AccessList();
  state_->file = Owned(
      H5Fcreate(path.c_str(), replace ? H5F_ACC_TRUNC : H5F_ACC_EXCL, H5P_DEFAULT, access.get()),
      H5Fclose, "creating the file");
  const hid_t file = state_->file.get();
  state_->group = Owned(H5Gcreate2(file, kVariablesGroup, H5P_DEFAULT, H5P_DEFAULT, H5P_DEFAULT),
                        H5Gclose, "creating the group of variables");
  Hdf5Handle dataset_access = Owned(H5Pcreate(H5P_DATASET_ACCESS), H5Pclose, "access list");
  Checked(H5Pset_chunk_cache(dataset_access.get(), kChunkCacheSlots, kChunkCacheBytes, 1.0),
          "chunk cache");
  const Hdf5Handle text1 = FixedStringType(1);
  for (const RecordedVariable& variable : variables) {
    PendingRows pending;
    const Hdf5Handle file_type = RowFileType(variable.type);
    pending.memory_type = RowMemoryType(variable.type);
    pending.row_bytes = RowBytes(variable.type);
    const std::string name = DatasetNameOf(variable.name);
    pending.dataset = CreateAppendable(state_->group.get(), name.c_str(), file_type.get(),
                                       kChunkRows, dataset_access.get());
    const hid_t dataset = pending.dataset.get();
    WriteAttribute(dataset, "type", text1.get(), &variable.type);
    WriteAttribute(dataset, "size", H5T_NATIVE_INT32, &variable.size);
    WriteAttribute(dataset, "ident", H5T_NATIVE_UINT32, &variable.ident);
    WriteText(dataset, "name", variable.name);
    state_->variables.push_back(std::move(pending));
  }
  const Hdf5Handle event_type = EventType();
  state_->events.dataset =
      CreateAppendable(file, kEventsDataset, event_type.get(), kEventChunkRows, H5P_DEFAULT);
  state_->events.memory_type = EventType();
  state_->events.row_bytes = sizeof(EventRow);
  WriteText(file, "segment", header.segment);
  WriteText(file, "host", header.host);
  WriteText(file, "kelto_version", header.kelto_version);
  WriteText(file, "start_time", header.start_time);
  WriteTextList(file, "no_value_variables", header.no_value_variables);
  Checked(H5Fstart_swmr_write(file), "starting single-writer mode");
  state_->kept.variables.resize(variables.size());
  state_->kept.listed.assign(variables.size(), false);
  for (const PendingRows& pending : state_->variables) {
    state_->kept.row_bytes.push_back(pending.row_bytes);
  }
  state_->writer = std::thread([this] { WriteWhenAsked(); });
}

RecordingFile::~RecordingFile() { StopWriter(); }

void RecordingFile::StopWriter() {
  if (!state_->writer.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->closing = true;
  }
  state_->wake.notify_one();
  state_->writer.join();
}

void RecordingFile::Append(size_t variable, int64_t time_ns, const char* value) {
  std::lock_guard<std::mutex> lock(state_->mutex);
  KeptRows& kept = state_->kept;
  const size_t row_bytes = kept.row_bytes[variable];
  std::vector<char>& rows = kept.variables[variable];
  const size_t at = rows.size();
  rows.resize(at + row_bytes);
  std::memcpy(rows.data() + at, &time_ns, sizeof time_ns);
  std::memcpy(rows.data() + at + kRowValueOffset, value, row_bytes - kRowValueOffset);
  if (!kept.listed[variable]) {
    kept.listed[variable] = true;
    kept.dirty.push_back(variable);
  }
}

void RecordingFile::AddEvent(int64_t time_ns, std::string_view kind, std::string_view text) {
  EventRow row = {};
  row.time = time_ns;
  kind.copy(row.kind, std::min(kind.size(), sizeof row.kind));
  text.copy(row.text, std::min(text.size(), sizeof row.text));
  const char* bytes = reinterpret_cast<const char*>(&row);
  std::lock_guard<std::mutex> lock(state_->mutex);
  state_->kept.events.insert(state_->kept.events.end(), bytes, bytes + sizeof row);
}

void RecordingFile::Flush() {
  {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->flush_wanted = true;
  }
  state_->wake.notify_one();
}

void RecordingFile::ThrowIfFailed() {
  std::lock_guard<std::mutex> lock(state_->mutex);
  if (state_->failure) std::rethrow_exception(state_->failure);
}

void RecordingFile::WriteWhenAsked() {
  try {
    for (;;) {
      std::unique_lock<std::mutex> lock(state_->mutex);
      state_->wake.wait(lock, [this] { return state_->flush_wanted || state_->closing; });
      const bool closing = state_->closing;
      state_->flush_wanted = false;
      TakeKept();
      lock.unlock();
      WriteTaken();
      if (closing) return;
    }
  } catch (...) {
    std::lock_guard<std::mutex> lock(state_->mutex);
    state_->failure = std::current_exception();
  }
}

// Under the lock: the kept rows change hands, the emptied (but allocated)
// vectors go back to be filled again.
void RecordingFile::TakeKept() {
  KeptRows& kept = state_->kept;
  for (const size_t variable : kept.dirty) {
    state_->variables[variable].rows.swap(kept.variables[variable]);
    kept.listed[variable] = false;
  }
  state_->dirty.swap(kept.dirty);
  kept.dirty.clear();
  state_->events.rows.swap(kept.events);
}

// HDF5 may have written its superblock and indexes when a data write fails
// for want of room, which leaves a file no reader opens. So a flush that
// might not fit, under the file size limit (ulimit -f) or in the free space
// of the file system, is not begun: the kept rows are dropped and the file
// is closed as the last flush left it.
void RecordingFile::CheckRoom(uint64_t growth) const {
  struct stat file;
  if (stat(state_->path.c_str(), &file) != 0) return;
  const uint64_t needed = static_cast<uint64_t>(file.st_size) + growth + kMetadataMargin;
  struct rlimit limit;
  if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
      needed > limit.rlim_cur) {
    Abandon("flushing the file", EFBIG);
  }
  struct statvfs space;
  if (statvfs(state_->path.c_str(), &space) == 0 &&
      static_cast<uint64_t>(space.f_bavail) * space.f_frsize < growth + kMetadataMargin) {
    Abandon("flushing the file", ENOSPC);
  }
}

void RecordingFile::Abandon(const char* what, int error) const {
  state_->variables.clear();
  state_->events = PendingRows();
  state_->group.Close();
  state_->file.Close();
  throw RecordingFailure(what, error);
}

void RecordingFile::WriteTaken() {
  // Nothing new: an idle recording of many variables costs no file work.
  if (state_->dirty.empty() && state_->events.rows.empty()) return;
  uint64_t growth = state_->events.rows.size() * 2;
  for (const size_t variable : state_->dirty) growth += state_->variables[variable].GrowthBound();
  CheckRoom(growth);
  // Values before the events that tell about them: a reader that sees a
  // "table gone" also sees the rows before it.
  std::sort(state_->dirty.begin(), state_->dirty.end());
  for (const size_t variable : state_->dirty) state_->variables[variable].WriteOut();
  state_->dirty.clear();
  state_->events.WriteOut();
  Checked(H5Fflush(state_->file.get(), H5F_SCOPE_LOCAL), "flushing the file");
}

void RecordingFile::Close() {
  StopWriter();
  ThrowIfFailed();
  state_->variables.clear();
  state_->events = PendingRows();
  state_->group.Close();
  if (!state_->file.Close()) Fail("closing the file");
}

}  // namespace keltoctl
