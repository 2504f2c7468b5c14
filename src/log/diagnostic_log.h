// The per-process diagnostic log: plain lines, each flushed as it is written.
#ifndef KELTO_LOG_DIAGNOSTIC_LOG_H_
#define KELTO_LOG_DIAGNOSTIC_LOG_H_

#include <cstdio>

namespace kelto {

// Not copyable; owned by the library state. Write may be called from several
// threads at once (stdio locks the stream per call, so lines never mix);
// Open and Close may not overlap any other call.
class DiagnosticLog {
 public:
  DiagnosticLog() = default;
  DiagnosticLog(const DiagnosticLog&) = delete;
  DiagnosticLog& operator=(const DiagnosticLog&) = delete;
  // Unloading the library is not a Close: no closing line is written.
  ~DiagnosticLog();

  // Truncates or creates `path` and writes the banner. Replaces any stream
  // that was open, without a closing line. On failure, or with a null path,
  // there is simply no log.
  void Open(const char* path);
  // Writes one formatted line and flushes it. Does nothing without a log.
  void Write(const char* format, ...) __attribute__((format(printf, 2, 3)));
  // Writes `length` bytes of a line composed by the caller, with its
  // newline, and flushes it. Does nothing without a log.
  void WriteLine(const char* line, size_t length);
  // Writes the closing line and closes the stream; a second call does nothing.
  void Close();
  bool IsOpen() const { return stream_ != nullptr; }
  // For a forked child: drops the inherited stream without writing to it.
  void Abandon();

 private:
  std::FILE* stream_ = nullptr;
};

}  // namespace kelto

#endif  // KELTO_LOG_DIAGNOSTIC_LOG_H_
