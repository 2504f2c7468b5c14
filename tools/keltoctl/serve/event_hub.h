// The state the pages see and the event streams that carry it: one table
// event (the whole table, or "no live table") when a stream opens or the
// table comes or goes, then value events as values change. Each stream has
// its own queue; one that falls too far behind is sent the whole table anew
// instead of every missed event.
#ifndef KELTOCTL_SERVE_EVENT_HUB_H_
#define KELTOCTL_SERVE_EVENT_HUB_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace keltoctl::serve {

// One variable as the page shows it; the texts are JSON, made by the live
// API's codec.
struct VariableEntry {
  uint32_t ident = 0;
  std::string name_json;
  std::string type_json;
  int32_t size = 0;
};

class EventHub {
 public:
  class Stream;

  EventHub(size_t max_streams, std::string segment_json, bool allow_set);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  // A new table with its variables (in ident order) and their values.
  void PublishTable(std::vector<VariableEntry> variables, std::vector<std::string> values);
  void PublishNoTable();
  // Values read after changes: those that differ from what the pages were
  // last sent go out in one event.
  void PublishValues(const std::vector<std::pair<uint32_t, std::string>>& values);

  // A new stream, or null when `max_streams` are open or the hub closed.
  std::shared_ptr<Stream> Subscribe();
  void Unsubscribe(const std::shared_ptr<Stream>& stream);
  // Waits up to `timeout` for what `stream` has not been sent yet and
  // appends it to `frames` (a keep-alive comment when nothing came). False
  // once the hub is closed.
  bool TakeFrames(Stream& stream, std::string* frames, std::chrono::milliseconds timeout);
  size_t StreamCount();

  // Ends every stream; new ones are refused.
  void Close();

 private:
  std::string TableFrameLocked() const;
  void BroadcastLocked(std::string frame);

  const size_t max_streams_;
  const std::string segment_json_;
  const bool allow_set_;

  std::mutex mutex_;
  std::condition_variable changed_;
  bool closed_ = false;
  bool live_ = false;
  uint64_t generation_ = 0;
  std::vector<VariableEntry> variables_;
  std::vector<std::string> values_;
  std::vector<std::shared_ptr<Stream>> streams_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_EVENT_HUB_H_
