#include "keltoctl/serve/event_hub.h"

#include <algorithm>
#include <chrono>

namespace keltoctl::serve {
namespace {

// A page that has not taken this much is sent the whole table instead.
constexpr size_t kMaxQueuedBytes = size_t{8} << 20;

uint64_t MillisecondsSinceEpoch() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

std::string Frame(const char* event, const std::string& data) {
  return std::string("event: ") + event + "\ndata: " + data + "\n\n";
}

}  // namespace

class EventHub::Stream {
 public:
  std::string client;
  std::deque<std::shared_ptr<const std::string>> frames;
  size_t queued_bytes = 0;
  bool needs_table = true;  // a new stream starts with the whole table
  bool keep_alive_due = false;
  bool waiting = false;
  std::function<void()> wake;
};

EventHub::EventHub(size_t max_streams, size_t max_per_client, std::string segment_json,
                   bool allow_set)
    : max_streams_(max_streams),
      max_per_client_(max_per_client),
      segment_json_(std::move(segment_json)),
      allow_set_(allow_set) {}

EventHub::~EventHub() { Close(); }

std::string EventHub::TableFrameLocked() const {
  std::string data = "{\"live\":" + std::string(live_ ? "true" : "false") +
                     ",\"segment\":" + segment_json_ +
                     ",\"allowSet\":" + (allow_set_ ? "true" : "false") +
                     ",\"generation\":" + std::to_string(generation_) +
                     ",\"time\":" + std::to_string(MillisecondsSinceEpoch()) + ",\"vars\":[";
  for (size_t i = 0; i < variables_.size(); ++i) {
    const VariableEntry& entry = variables_[i];
    if (i > 0) data += ',';
    data += "{\"ident\":" + std::to_string(entry.ident) + ",\"name\":" + entry.name_json +
            ",\"type\":" + entry.type_json + ",\"size\":" + std::to_string(entry.size) +
            ",\"value\":" + values_[i] + "}";
  }
  data += "]}";
  return Frame("table", data);
}

void EventHub::WakeLocked(Stream& stream) {
  if (!stream.waiting) return;
  stream.waiting = false;
  if (stream.wake) stream.wake();
}

void EventHub::BroadcastLocked(std::string frame) {
  auto shared = std::make_shared<const std::string>(std::move(frame));
  for (const std::shared_ptr<Stream>& stream : streams_) {
    if (stream->needs_table) continue;  // the table it will be sent holds this already
    if (stream->queued_bytes + shared->size() > kMaxQueuedBytes) {
      stream->frames.clear();
      stream->queued_bytes = 0;
      stream->needs_table = true;
      WakeLocked(*stream);
      continue;
    }
    stream->frames.push_back(shared);
    stream->queued_bytes += shared->size();
    WakeLocked(*stream);
  }
}

void EventHub::ResetStreamsLocked() {
  for (const std::shared_ptr<Stream>& stream : streams_) {
    stream->frames.clear();
    stream->queued_bytes = 0;
    stream->needs_table = true;
    WakeLocked(*stream);
  }
}

void EventHub::PublishTable(std::vector<VariableEntry> variables, std::vector<std::string> values) {
  std::lock_guard lock(mutex_);
  live_ = true;
  ++generation_;
  variables_ = std::move(variables);
  values_ = std::move(values);
  values_.resize(variables_.size(), "null");
  ResetStreamsLocked();
}

void EventHub::PublishNoTable() {
  std::lock_guard lock(mutex_);
  if (!live_ && generation_ > 0) return;
  live_ = false;
  ++generation_;
  variables_.clear();
  values_.clear();
  ResetStreamsLocked();
}

void EventHub::PublishValues(const std::vector<std::pair<uint32_t, std::string>>& values) {
  std::lock_guard lock(mutex_);
  if (!live_) return;
  std::string list;
  for (const auto& [ident, value] : values) {
    // Variables are held in ident order, from 0 without gaps.
    if (ident >= values_.size() || values_[ident] == value) continue;
    values_[ident] = value;
    if (!list.empty()) list += ',';
    list += '[' + std::to_string(ident) + ',' + value + ']';
  }
  if (list.empty()) return;
  BroadcastLocked(Frame("values", "{\"generation\":" + std::to_string(generation_) +
                                      ",\"time\":" + std::to_string(MillisecondsSinceEpoch()) +
                                      ",\"values\":[" + list + "]}"));
}

std::shared_ptr<EventHub::Stream> EventHub::Subscribe(const std::string& client, Refusal* refusal) {
  std::lock_guard lock(mutex_);
  *refusal = closed_                           ? Refusal::kClosed
             : streams_.size() >= max_streams_ ? Refusal::kFull
                                               : Refusal::kNone;
  if (*refusal == Refusal::kNone && !client.empty()) {
    const auto own = std::count_if(streams_.begin(), streams_.end(),
                                   [&](const auto& stream) { return stream->client == client; });
    if (static_cast<size_t>(own) >= max_per_client_) *refusal = Refusal::kClientsShare;
  }
  if (*refusal != Refusal::kNone) return nullptr;
  streams_.push_back(std::make_shared<Stream>());
  streams_.back()->client = client;
  return streams_.back();
}

void EventHub::Unsubscribe(const std::shared_ptr<Stream>& stream) {
  std::lock_guard lock(mutex_);
  streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
}

void EventHub::SetWake(Stream& stream, std::function<void()> wake) {
  std::lock_guard lock(mutex_);
  stream.wake = std::move(wake);
}

EventHub::Take EventHub::TakeFrames(Stream& stream, std::string* frames,
                                    const std::function<void()>& park) {
  std::lock_guard lock(mutex_);
  if (closed_) return Take::kClosed;
  // Until the feed has looked at the table once (generation 0) there is
  // nothing true to say, not even "no live table".
  if (stream.needs_table && generation_ > 0) {
    stream.needs_table = false;
    *frames += TableFrameLocked();
  }
  for (const std::shared_ptr<const std::string>& frame : stream.frames) *frames += *frame;
  stream.frames.clear();
  stream.queued_bytes = 0;
  if (frames->empty() && stream.keep_alive_due) *frames = ": keep-alive\n\n";
  stream.keep_alive_due = false;
  if (!frames->empty()) return Take::kFrames;
  stream.waiting = true;
  park();
  return Take::kWait;
}

void EventHub::Tick() {
  std::lock_guard lock(mutex_);
  for (const std::shared_ptr<Stream>& stream : streams_) {
    stream->keep_alive_due = true;
    WakeLocked(*stream);
  }
}

size_t EventHub::StreamCount() {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

void EventHub::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  for (const std::shared_ptr<Stream>& stream : streams_) WakeLocked(*stream);
}

}  // namespace keltoctl::serve
