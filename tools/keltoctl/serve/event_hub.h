// The state the pages see and the event streams that carry it: one table
// event (the whole table, or "no live table") when a stream opens or the
// table comes or goes, then value events as values change. Each stream has
// its own queue; one that falls too far behind is sent the whole table anew
// instead of every missed event.
#ifndef KELTOCTL_SERVE_EVENT_HUB_H_
#define KELTOCTL_SERVE_EVENT_HUB_H_

#include <cstdint>
#include <deque>
#include <functional>
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

  // At most `max_streams` open, and at most `max_per_client` of them for
  // one client address.
  EventHub(size_t max_streams, size_t max_per_client, std::string segment_json, bool allow_set);
  ~EventHub();
  EventHub(const EventHub&) = delete;
  EventHub& operator=(const EventHub&) = delete;

  // A new table with its variables (in ident order) and their values.
  void PublishTable(std::vector<VariableEntry> variables, std::vector<std::string> values);
  void PublishNoTable();
  // Values read after changes: those that differ from what the pages were
  // last sent go out in one event.
  void PublishValues(const std::vector<std::pair<uint32_t, std::string>>& values);

  enum class Refusal { kNone, kFull, kClientsShare, kClosed };
  // A new stream for `client` (empty: not counted per address), or null
  // with the reason in *refusal.
  std::shared_ptr<Stream> Subscribe(const std::string& client, Refusal* refusal);
  void Unsubscribe(const std::shared_ptr<Stream>& stream);
  // How a waiting stream is told that there is more: called once per wait,
  // under the hub's lock, from any thread.
  void SetWake(Stream& stream, std::function<void()> wake);

  enum class Take { kFrames, kWait, kClosed };
  // Appends what `stream` has not been sent yet to `frames`. With nothing
  // to send, calls `park` under the hub's lock (so that nothing published
  // meanwhile is missed) and answers kWait: the stream's wake is called
  // when there is.
  Take TakeFrames(Stream& stream, std::string* frames, const std::function<void()>& park);
  // Every stream sends a keep-alive comment if nothing else goes out before
  // it is asked again: a page that went away is noticed at that write, so a
  // few ticks a second free a closed page's slot within a second.
  void Tick();
  size_t StreamCount();

  // Ends every stream; new ones are refused.
  void Close();

 private:
  std::string TableFrameLocked() const;
  void BroadcastLocked(std::string frame);
  void ResetStreamsLocked();
  static void WakeLocked(Stream& stream);

  const size_t max_streams_;
  const size_t max_per_client_;
  const std::string segment_json_;
  const bool allow_set_;

  std::mutex mutex_;
  bool closed_ = false;
  bool live_ = false;
  uint64_t generation_ = 0;
  std::vector<VariableEntry> variables_;
  std::vector<std::string> values_;
  std::vector<std::shared_ptr<Stream>> streams_;
};

}  // namespace keltoctl::serve

#endif  // KELTOCTL_SERVE_EVENT_HUB_H_
