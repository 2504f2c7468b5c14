#include "bridge/bridge.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <random>
#include <thread>
#include <vector>

#include "bridge/payloads.h"
#include "bridge/state_peek.h"
#include "bridge/tls_files.h"

namespace kelto::bridge {
namespace {

using Clock = std::chrono::steady_clock;

// The longest a wait lasts, so that a stop request is seen promptly.
constexpr int kLongestWaitMs = 250;
// Write requests and refusals are worth nothing once this old: never apply
// a queued request long after its sender gave up.
constexpr uint32_t kRequestExpiryS = 10;
constexpr uint32_t kChangedCapacity = 4096;

int64_t MillisecondsSinceEpoch() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

uint64_t MicrosecondsSinceEpoch() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                   std::chrono::system_clock::now().time_since_epoch())
                                   .count());
}

// MQTT carries at most this many bytes of password; reading stops there,
// so a file without end (/dev/zero, a device) is refused, not read until
// memory runs out.
constexpr size_t kMaxPasswordBytes = 65535;

// The first line of the file, or nothing when it cannot be read or is
// longer than a password can be.
std::optional<std::string> ReadPassword(const std::string& path, std::string* reason) {
  errno = 0;
  std::ifstream in(path);
  if (!in) {
    *reason = errno != 0 ? std::strerror(errno) : "cannot open it";
    return std::nullopt;
  }
  *reason = "no line of at most " + std::to_string(kMaxPasswordBytes) + " bytes";
  std::string line;
  char c = 0;
  while (line.size() <= kMaxPasswordBytes && in.get(c) && c != '\n') line += c;
  if (line.size() > kMaxPasswordBytes || in.bad()) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The JSON form of a value; a D that is not finite (JSON's null) goes as the
// codec's text ("nan", "inf", "-inf") in a string, which it reads back.
std::optional<std::string> JsonValueOf(char type, const unsigned char* raw) {
  char text[KELTO_LIVE_TEXT_SIZE];
  if (kelto_live_format_value(type, raw, KELTO_LIVE_JSON, text, sizeof text) != KELTO_LIVE_OK) {
    return std::nullopt;
  }
  // "-0" would be read back as the integer 0 by a mirror: written as a
  // fraction, the sign arrives.
  if (type == 'D' && std::string_view(text) == "-0") return std::string("-0.0");
  if (type == 'D' && std::string_view(text) == "null") {
    if (kelto_live_format_value(type, raw, KELTO_LIVE_TEXT, text, sizeof text) != KELTO_LIVE_OK) {
      return std::nullopt;
    }
    return JsonString(text);
  }
  return std::string(text);
}

// This process's run: its start time and a random part, so that no two
// runs of a node share a name, even when started in the same millisecond.
std::string NewRunName() {
  std::random_device random;
  char text[64];
  std::snprintf(text, sizeof text, "%lld-%08x", static_cast<long long>(MillisecondsSinceEpoch()),
                static_cast<unsigned>(random()));
  return text;
}

}  // namespace

Bridge::Bridge(BridgeOptions options)
    : options_(std::move(options)), run_(NewRunName()), imports_(options_.imports) {}

Bridge::~Bridge() {
  if (link_) link_->Stop();
  link_.reset();
  kelto_live_detach(table_);
}

int Bridge::Run(const std::atomic<bool>& stop) {
  const kelto_live_result attached = kelto_live_attach(nullptr, &table_);
  if (attached != KELTO_LIVE_OK && attached != KELTO_LIVE_NO_TABLE) {
    std::fprintf(stderr, "kelto-bridge: cannot attach: %s\n", kelto_live_result_text(attached));
    return 1;
  }
  segment_ = kelto_live_segment_name(table_);
  if (const std::optional<std::string> why =
          CheckTlsFiles(options_.ca_file, options_.cert_file, options_.key_file)) {
    std::fprintf(stderr, "kelto-bridge: %s\n", why->c_str());
    return 2;
  }

  LinkSettings settings;
  settings.host = options_.host;
  settings.port = options_.port;
  settings.keepalive_s = options_.keepalive_s;
  settings.client_id = "kelto-bridge/" + options_.node + "/" + EscapeLevel(segment_);
  settings.username = options_.username;
  if (!options_.password_file.empty()) {
    std::string reason;
    std::optional<std::string> password = ReadPassword(options_.password_file, &reason);
    if (!password) {
      std::fprintf(stderr, "kelto-bridge: cannot read the password from %s: %s\n",
                   options_.password_file.c_str(), reason.c_str());
      return 1;
    }
    settings.password = std::move(*password);
  }
  settings.ca_file = options_.ca_file;
  settings.cert_file = options_.cert_file;
  settings.key_file = options_.key_file;
  settings.will_topic = StateTopic(options_.node, segment_);
  settings.run = run_;
  settings.max_packet_bytes = static_cast<uint32_t>(kMaxPacketBytes);
  if (PeekState(settings, settings.will_topic) == PeerState::kOnline) {
    std::fprintf(stderr,
                 "kelto-bridge: another bridge of node %s and table %s is connected to the "
                 "broker (its state is online); stopping, as only one may run\n",
                 options_.node.c_str(), segment_.c_str());
    return 2;
  }
  LinkHandlers handlers;
  handlers.on_connected = [this] { OnConnected(); };
  handlers.on_message = [this](std::string_view topic, std::string_view payload) {
    OnMessage(topic, payload);
  };
  link_ = std::make_unique<BrokerLink>(std::move(settings), std::move(handlers));

  if (attached == KELTO_LIVE_OK) {
    AdoptTable();
  } else {
    std::fprintf(stderr, "kelto-bridge: no live table %s yet; waiting for one\n", segment_.c_str());
  }
  std::string error;
  if (!link_->Start(&error)) {
    std::fprintf(stderr, "kelto-bridge: %s\n", error.c_str());
    return 2;  // settings the library refuses: no retry mends them
  }

  while (!stop.load()) {
    if (link_->taken_over()) {
      std::fprintf(stderr,
                   "kelto-bridge: another bridge of node %s and table %s connected to the "
                   "broker and took this one's session over; stopping, as only one may run\n",
                   options_.node.c_str(), segment_.c_str());
      return 2;
    }
    if (attached_.load()) {
      WaitAndPublish();
      continue;
    }
    kelto_live_result result;
    {
      std::unique_lock<std::shared_mutex> exclusive(table_mutex_);
      result = kelto_live_reattach(table_, kLongestWaitMs);
    }
    if (result == KELTO_LIVE_OK) {
      AdoptTable();
    } else if (result != KELTO_LIVE_TIMEOUT) {
      std::fprintf(stderr, "kelto-bridge: cannot wait for the table: %s\n",
                   kelto_live_result_text(result));
      return 1;
    }
  }
  return 0;
}

bool Bridge::AdoptTable() {
  {
    std::unique_lock<std::shared_mutex> exclusive(table_mutex_);
    exports_ = ExportTable(table_, options_, segment_);
    imports_.Reset();
    cursor_ = kelto_live_cursor(table_);
    {
      std::lock_guard<std::mutex> publishing(publish_mutex_);
      schedule_ =
          PublishSchedule(static_cast<uint32_t>(exports_.variables().size()), options_.max_rate_hz);
    }
    attached_.store(true);
  }
  std::fprintf(stderr, "kelto-bridge: attached to table %s: %zu variables exported\n",
               segment_.c_str(), exports_.variables().size());
  {
    std::lock_guard<std::mutex> publishing(publish_mutex_);
    Announce();
  }
  // Subscribing anew brings the retained values of the imported nodes once
  // more, now for this table.
  if (link_->connected()) Subscribe();
  return true;
}

void Bridge::LoseTable() {
  attached_.store(false);
  std::fprintf(stderr, "kelto-bridge: table %s went away; waiting for the next one\n",
               segment_.c_str());
}

void Bridge::WaitAndPublish() {
  int timeout_ms = kLongestWaitMs;
  {
    std::lock_guard<std::mutex> publishing(publish_mutex_);
    const Clock::time_point next = schedule_.NextDue();
    if (next != Clock::time_point::max()) {
      const auto until = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
      timeout_ms = static_cast<int>(std::clamp<int64_t>(until, 0, kLongestWaitMs));
    }
  }
  const std::vector<uint32_t>& idents = exports_.idents();
  if (idents.empty()) {
    // Nothing to publish: only notice the table going away.
    std::this_thread::sleep_for(std::chrono::milliseconds(kLongestWaitMs));
    if (kelto_live_check(table_) == KELTO_LIVE_NO_TABLE) LoseTable();
    return;
  }
  uint32_t changed[kChangedCapacity];
  uint32_t count = 0;
  int resync = 0;
  const kelto_live_result result =
      kelto_live_wait(table_, &cursor_, idents.data(), static_cast<uint32_t>(idents.size()),
                      timeout_ms, changed, kChangedCapacity, &count, &resync);
  if (result == KELTO_LIVE_NO_TABLE) {
    LoseTable();
    return;
  }
  if (result == KELTO_LIVE_NO_FEED) {
    static bool reported = false;
    if (!reported) {
      std::fprintf(stderr, "kelto-bridge: table %s has no change feed; nothing is published\n",
                   segment_.c_str());
      reported = true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kLongestWaitMs));
    if (kelto_live_check(table_) == KELTO_LIVE_NO_TABLE) LoseTable();
    return;
  }
  {
    std::lock_guard<std::mutex> publishing(publish_mutex_);
    if (result == KELTO_LIVE_OK) {
      if (resync) schedule_.MarkAll();
      for (uint32_t i = 0; i < count; ++i) {
        if (const auto slot = exports_.SlotOfIdent(changed[i])) schedule_.MarkChanged(*slot);
      }
    }
  }
  PublishDue();
}

void Bridge::PublishDue() {
  std::lock_guard<std::mutex> publishing(publish_mutex_);
  for (const uint32_t slot : schedule_.TakeDue(Clock::now())) PublishSlot(slot, false);
}

uint64_t Bridge::NextSequence() {
  // Microseconds since the epoch, or one more than the last: a restarted
  // bridge goes on above the numbers of its last run, so mirrors never take
  // its new values for stale ones.
  last_sequence_ = std::max(last_sequence_ + 1, MicrosecondsSinceEpoch());
  return last_sequence_;
}

void Bridge::PublishSlot(uint32_t slot, bool forced) {
  ExportedVariable& variable = exports_.variables()[slot];
  if (variable.deadband && !forced) {
    double number = 0;
    if (kelto_live_get_double(table_, variable.ident, &number) == KELTO_LIVE_OK) {
      if (variable.last_number && std::fabs(number - *variable.last_number) < *variable.deadband) {
        return;
      }
      variable.last_number = number;
    }
  }
  unsigned char raw[KELTO_LIVE_VALUE_SIZE];
  if (kelto_live_read(table_, variable.ident, raw) != KELTO_LIVE_OK) return;
  if (variable.deadband && forced) {
    double number = 0;
    if (kelto_live_get_double(table_, variable.ident, &number) == KELTO_LIVE_OK) {
      variable.last_number = number;
    }
  }
  std::optional<std::string> json = JsonValueOf(variable.type, raw);
  if (!json || (!forced && json == variable.last_json)) return;
  variable.last_json = json;
  link_->Publish(variable.topic,
                 ValuePayload(*json, MillisecondsSinceEpoch(), NextSequence(), run_), 0, true);
}

void Bridge::Announce() {
  if (!attached_.load() || !link_->connected()) return;
  std::vector<BirthEntry> entries;
  for (const ExportedVariable& variable : exports_.variables()) {
    entries.push_back({variable.name, variable.type, variable.size, variable.settable});
  }
  const std::string birth = BirthPayload(options_.node, segment_, run_, entries);
  if (birth.size() > kMaxBirthBytes && !warned_birth_size_) {
    std::fprintf(stderr,
                 "kelto-bridge: the list of %zu exported variables takes %zu bytes, more than "
                 "the %zu a mirror reads, so mirrors check neither types nor runs; export fewer\n",
                 entries.size(), birth.size(), kMaxBirthBytes);
    warned_birth_size_ = true;
  }
  link_->Publish(BirthTopic(options_.node, segment_), birth, 1, true);
  for (uint32_t slot = 0; slot < exports_.variables().size(); ++slot) PublishSlot(slot, true);
}

void Bridge::Subscribe() {
  for (const std::string& node : imports_.nodes()) link_->Subscribe(NodeValuesFilter(node), 0);
  // A write request is applied when it is published, never again from a
  // retained copy at each new subscription, where it would undo later writes.
  if (!options_.allow_set.empty()) {
    link_->Subscribe(SetRequestsFilter(options_.node, segment_), 1, false);
  }
}

void Bridge::OnConnected() {
  link_->PublishState("online");
  Subscribe();
  // While the main thread swaps tables it announces the new one itself.
  std::shared_lock<std::shared_mutex> shared(table_mutex_, std::try_to_lock);
  if (!shared.owns_lock()) return;
  std::lock_guard<std::mutex> publishing(publish_mutex_);
  Announce();
}

void Bridge::OnMessage(std::string_view topic, std::string_view payload) {
  const std::optional<ParsedTopic> parsed = ParseTopic(topic);
  if (!parsed) {
    std::string reason;
    const std::optional<std::string> refusal =
        RefusalTopicOfBadName(topic, options_.node, segment_, &reason);
    if (refusal) {
      link_->Publish(*refusal, ErrorPayload(reason), 1, false, kRequestExpiryS);
    }
    return;
  }
  if (parsed->node == options_.node) {
    if (parsed->kind == TopicKind::kSet) HandleWriteRequest(*parsed, payload);
    return;
  }
  // A table being swapped counts as no table: nothing is mirrored into it.
  std::shared_lock<std::shared_mutex> shared(table_mutex_, std::try_to_lock);
  if (!shared.owns_lock() || !attached_.load()) return;
  if (parsed->kind == TopicKind::kBirth) {
    imports_.NoteBirth(*parsed, payload);
  } else if (parsed->kind == TopicKind::kValue) {
    imports_.Apply(table_, *parsed, payload, MicrosecondsSinceEpoch(), Clock::now());
  }
}

void Bridge::HandleWriteRequest(const ParsedTopic& topic, std::string_view payload) {
  if (topic.segment != segment_) return;
  std::shared_lock<std::shared_mutex> shared(table_mutex_, std::try_to_lock);
  if (!shared.owns_lock() || !attached_.load()) {
    Refuse(topic, "no live table");
    return;
  }
  const std::optional<uint32_t> slot = exports_.SlotOfName(topic.name);
  if (!slot) {
    Refuse(topic, "not a variable this node exports");
    return;
  }
  const ExportedVariable& variable = exports_.variables()[*slot];
  if (!variable.settable) {
    Refuse(topic, "not open to remote writes (--allow-set)");
    return;
  }
  std::string reason;
  const std::optional<SetRequest> request = ParseSetRequest(payload, &reason);
  if (!request) {
    Refuse(topic, reason);
    return;
  }
  // The value then published for the change is the acknowledgement.
  char detail[256] = "";
  const kelto_live_result result =
      kelto_live_set(table_, variable.ident, request->text.data(), request->text.size(),
                     request->syntax, detail, sizeof detail);
  if (result != KELTO_LIVE_OK) {
    std::string why = kelto_live_result_text(result);
    if (detail[0] != '\0') why.append(": ").append(detail);
    Refuse(topic, why);
  }
}

void Bridge::Refuse(const ParsedTopic& topic, const std::string& reason) {
  link_->Publish(ErrorTopic(options_.node, segment_, topic.name), ErrorPayload(reason), 1, false,
                 kRequestExpiryS);
}

}  // namespace kelto::bridge
