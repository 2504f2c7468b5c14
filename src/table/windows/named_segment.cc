// The segment on Windows. CreateFileMappingW without a file gives memory
// backed by the paging file, zeroed when made; the kernel removes it when
// the last handle and the last view are gone, so a crashed holder leaves
// nothing behind and the next Open after the last holder reads zeros.
//
// The one thing the kernel does not give is a moment in which no other
// program sees the items half written: a named mutex beside the mapping (in
// the same namespace) is held while the mapping is made or opened and the
// items are checked. An abandoned mutex, one whose holder died, is simply
// taken over.
#include "table/named_segment.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "table/segment_reasons.h"

namespace kelto {
namespace {

constexpr DWORD kGateTimeoutMs = 5000;
constexpr const wchar_t* kGateSuffix = L".gate";

bool StartsWith(const char* text, const char* prefix) {
  return std::strncmp(text, prefix, std::strlen(prefix)) == 0;
}

// A name is usable when it is UTF-8, and holds no backslash after the
// optional namespace prefix (the kernel would take it for a directory).
bool IsUsableName(const char* name) {
  const size_t length = std::strlen(name);
  if (length == 0 || length > kMaxSegmentNameLength) return false;
  const char* own = name;
  if (StartsWith(name, "Global\\")) own += 7;
  if (StartsWith(name, "Local\\")) own += 6;
  return own[0] != '\0' && std::strchr(own, '\\') == nullptr;
}

// UTF-8 to UTF-16; empty when the bytes are not UTF-8.
std::wstring Widened(const char* name) {
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, nullptr, 0);
  if (length <= 1) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, name, -1, wide.data(), length);
  wide.resize(static_cast<size_t>(length - 1));
  return wide;
}

// Holds the named gate for its lifetime, if it got it.
class Gate {
 public:
  explicit Gate(const std::wstring& segment_name)
      : handle_(CreateMutexW(nullptr, FALSE, (segment_name + kGateSuffix).c_str())) {
    if (handle_ == nullptr) return;
    const DWORD waited = WaitForSingleObject(handle_, kGateTimeoutMs);
    held_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }
  ~Gate() {
    if (held_) ReleaseMutex(handle_);
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Gate(const Gate&) = delete;
  Gate& operator=(const Gate&) = delete;
  bool Held() const { return held_; }

 private:
  HANDLE handle_;
  bool held_ = false;
};

SegmentResult Failed(SegmentFailure failure, DWORD error = 0) {
  SegmentResult result;
  result.failure = failure;
  result.error_number = error;
  return result;
}

// The size of the view starting at `view`: the mapping's size rounded up to
// whole pages.
uint64_t ViewSize(const char* view) {
  MEMORY_BASIC_INFORMATION info{};
  if (VirtualQuery(view, &info, sizeof info) == 0) return 0;
  return info.RegionSize;
}

HANDLE CreateOrOpenMapping(const std::wstring& name, uint64_t size, SegmentAttachMode mode,
                           bool* fresh) {
  if (mode == SegmentAttachMode::kAttachOnly) {
    *fresh = false;
    return OpenFileMappingW(FILE_MAP_WRITE, FALSE, name.c_str());
  }
  HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                      static_cast<DWORD>(size >> 32),
                                      static_cast<DWORD>(size & 0xffffffffu), name.c_str());
  *fresh = mapping != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
  return mapping;
}

SegmentResult AttachUnderGate(const std::wstring& name, uint64_t min_size, SegmentAttachMode mode,
                              SegmentHold* hold, const SegmentItemsCheck& check) {
  bool fresh = false;
  HANDLE mapping = CreateOrOpenMapping(name, min_size, mode, &fresh);
  if (mapping == nullptr) return Failed(SegmentFailure::kCreate, GetLastError());
  char* view = static_cast<char*>(MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, 0));
  if (view == nullptr) {
    const DWORD error = GetLastError();
    CloseHandle(mapping);
    return Failed(SegmentFailure::kMap, error);
  }
  const uint64_t length = ViewSize(view);
  SegmentResult result;
  if (length < min_size) {
    result = Failed(SegmentFailure::kTooSmall);
    result.actual_size = length;
  } else if (check && !check(view, length, fresh, result.detail, sizeof result.detail)) {
    result.failure = SegmentFailure::kMismatch;
  }
  if (result.failure != SegmentFailure::kNone) {
    UnmapViewOfFile(view);
    CloseHandle(mapping);
    return result;
  }
  hold->view = view;
  hold->mapped_length = static_cast<size_t>(length);
  hold->mapping = mapping;
  return result;
}

std::recursive_mutex& ProtocolLock() {
  // Never destroyed: a thread may still attach while the process ends.
  static std::recursive_mutex* const lock = new std::recursive_mutex;
  return *lock;
}

}  // namespace

SegmentResult AttachSegment(const char* name, uint64_t min_size, SegmentAttachMode mode,
                            SegmentHold* hold, const SegmentItemsCheck& check) {
  *hold = SegmentHold{};
  if (mode == SegmentAttachMode::kCreateOrAttach && min_size == 0) {
    return Failed(SegmentFailure::kEmpty);
  }
  const std::wstring wide = IsUsableName(name) ? Widened(name) : std::wstring();
  if (wide.empty()) return Failed(SegmentFailure::kInvalidName);
  const Gate gate(wide);
  if (!gate.Held()) return Failed(SegmentFailure::kGateTimeout);
  return AttachUnderGate(wide, min_size, mode, hold, check);
}

void DetachSegment(const char* name, SegmentHold* hold) {
  if (hold->view != nullptr) UnmapViewOfFile(hold->view);
  ReleaseSegmentKeepingView(name, hold);
  *hold = SegmentHold{};
}

void ReleaseSegmentKeepingView(const char* /*name*/, SegmentHold* hold) {
  if (hold->mapping != nullptr) CloseHandle(hold->mapping);
  hold->mapping = nullptr;
}

void AbandonSegment(SegmentHold* /*hold*/) {}

SegmentProtocolScope::SegmentProtocolScope() { ProtocolLock().lock(); }
SegmentProtocolScope::~SegmentProtocolScope() { ProtocolLock().unlock(); }

namespace {

// The system's text for an error code, on one line.
void SystemErrorText(DWORD error, char* buffer, size_t buffer_size) {
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                     buffer, static_cast<DWORD>(buffer_size), nullptr);
  size_t end = length;
  while (end > 0 && (buffer[end - 1] == '\r' || buffer[end - 1] == '\n' || buffer[end - 1] == '.' ||
                     buffer[end - 1] == ' ')) {
    --end;
  }
  if (end == 0) {
    std::snprintf(buffer, buffer_size, "error %lu", static_cast<unsigned long>(error));
  } else {
    buffer[end] = '\0';
  }
}

}  // namespace

void DescribeSegmentFailure(const SegmentResult& result, uint64_t min_size, char* buffer,
                            size_t buffer_size) {
  char reason[256];
  SystemErrorText(static_cast<DWORD>(result.error_number), reason, sizeof reason);
  switch (result.failure) {
    case SegmentFailure::kNone: std::snprintf(buffer, buffer_size, "no failure"); break;
    case SegmentFailure::kEmpty:
      std::snprintf(buffer, buffer_size, "no variables defined, so no segment");
      break;
    case SegmentFailure::kInvalidName:
      std::snprintf(buffer, buffer_size,
                    "segment name is empty, longer than %zu bytes, not UTF-8 or contains '\\' "
                    "after its Global\\ or Local\\ prefix",
                    kMaxSegmentNameLength);
      break;
    case SegmentFailure::kGateTimeout:
      std::snprintf(buffer, buffer_size,
                    "timed out after %lu ms waiting for the segment's gate "
                    "(another process holds it, perhaps stopped)",
                    static_cast<unsigned long>(kGateTimeoutMs));
      break;
    case SegmentFailure::kCreate:
      std::snprintf(buffer, buffer_size, "cannot create the segment: %s", reason);
      break;
    case SegmentFailure::kTooSmall:
      DescribeTooSmallSegment(result.actual_size, min_size, buffer, buffer_size);
      break;
    case SegmentFailure::kMap:
      std::snprintf(buffer, buffer_size, "cannot map the segment: %s", reason);
      break;
    case SegmentFailure::kMismatch: std::snprintf(buffer, buffer_size, "%s", result.detail); break;
  }
}

}  // namespace kelto
