#include "keltoctl/serve/event_hub.h"

#include <algorithm>

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
  std::deque<std::shared_ptr<const std::string>> frames;
  size_t queued_bytes = 0;
  bool needs_table = true;  // a new stream starts with the whole table
};

EventHub::EventHub(size_t max_streams, std::string segment_json, bool allow_set)
    : max_streams_(max_streams), segment_json_(std::move(segment_json)), allow_set_(allow_set) {}

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

void EventHub::BroadcastLocked(std::string frame) {
  auto shared = std::make_shared<const std::string>(std::move(frame));
  for (const std::shared_ptr<Stream>& stream : streams_) {
    if (stream->needs_table) continue;  // the table it will be sent holds this already
    if (stream->queued_bytes + shared->size() > kMaxQueuedBytes) {
      stream->frames.clear();
      stream->queued_bytes = 0;
      stream->needs_table = true;
      continue;
    }
    stream->frames.push_back(shared);
    stream->queued_bytes += shared->size();
  }
  changed_.notify_all();
}

void EventHub::PublishTable(std::vector<VariableEntry> variables, std::vector<std::string> values) {
  std::lock_guard lock(mutex_);
  live_ = true;
  ++generation_;
  variables_ = std::move(variables);
  values_ = std::move(values);
  values_.resize(variables_.size(), "null");
  for (const std::shared_ptr<Stream>& stream : streams_) {
    stream->frames.clear();
    stream->queued_bytes = 0;
    stream->needs_table = true;
  }
  changed_.notify_all();
}

void EventHub::PublishNoTable() {
  std::lock_guard lock(mutex_);
  if (!live_ && generation_ > 0) return;
  live_ = false;
  ++generation_;
  variables_.clear();
  values_.clear();
  for (const std::shared_ptr<Stream>& stream : streams_) {
    stream->frames.clear();
    stream->queued_bytes = 0;
    stream->needs_table = true;
  }
  changed_.notify_all();
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

std::shared_ptr<EventHub::Stream> EventHub::Subscribe() {
  std::lock_guard lock(mutex_);
  if (closed_ || streams_.size() >= max_streams_) return nullptr;
  streams_.push_back(std::make_shared<Stream>());
  return streams_.back();
}

void EventHub::Unsubscribe(const std::shared_ptr<Stream>& stream) {
  std::lock_guard lock(mutex_);
  streams_.erase(std::remove(streams_.begin(), streams_.end(), stream), streams_.end());
}

bool EventHub::TakeFrames(Stream& stream, std::string* frames, std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  // Until the feed has looked at the table once (generation 0) there is
  // nothing true to say, not even "no live table".
  changed_.wait_for(lock, timeout, [&] {
    return closed_ || (generation_ > 0 && (stream.needs_table || !stream.frames.empty()));
  });
  if (closed_) return false;
  if (stream.needs_table && generation_ > 0) {
    stream.needs_table = false;
    *frames += TableFrameLocked();
  }
  for (const std::shared_ptr<const std::string>& frame : stream.frames) *frames += *frame;
  stream.frames.clear();
  stream.queued_bytes = 0;
  if (frames->empty()) *frames = ": keep-alive\n\n";
  return true;
}

size_t EventHub::StreamCount() {
  std::lock_guard lock(mutex_);
  return streams_.size();
}

void EventHub::Close() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  changed_.notify_all();
}

}  // namespace keltoctl::serve
