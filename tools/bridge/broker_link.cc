#include "bridge/broker_link.h"

#include <mqtt_protocol.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <utility>

#include "bridge/state_peek.h"

namespace kelto::bridge {
namespace {

constexpr int kFirstBackoffMs = 50;
constexpr int kLastBackoffMs = 500;
// Between tries after a refusal only a person can mend: slow enough not to
// fill a log or lock an account, quick enough to notice the mend.
constexpr int kPersonBackoffS = 30;
// After a lost connection, how long to listen for another bridge's state.
constexpr int kTakeOverListenMs = 500;
// How long one network step may sleep without traffic; publications from
// other threads wake it at once through the library's own pipe.
constexpr int kLoopTimeoutMs = 250;

// libmosquitto keeps one global state; set it up once per process.
void InitialiseLibraryOnce() {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
}

// Refusals in CONNACK that another try cannot change.
bool NeedsAPerson(int reason) {
  return reason == MQTT_RC_BAD_USERNAME_OR_PASSWORD || reason == MQTT_RC_NOT_AUTHORIZED ||
         reason == MQTT_RC_BANNED || reason == MQTT_RC_BAD_AUTHENTICATION_METHOD;
}

// libmosquitto 2.0 has no text for some of its codes ("Unknown error.").
std::string LossText(int rc, int keepalive_s) {
  if (rc == MOSQ_ERR_KEEPALIVE) {
    return "no answer from the broker within the keep-alive time of " +
           std::to_string(keepalive_s) + " s";
  }
  return mosquitto_strerror(rc);
}

std::string ClockTimeIn(int seconds) {
  const std::time_t when = std::time(nullptr) + seconds;
  std::tm parts{};
  gmtime_r(&when, &parts);
  char text[32];
  std::strftime(text, sizeof text, "%H:%M:%S UTC", &parts);
  return text;
}

}  // namespace

int ApplyLogin(mosquitto* client, const LinkSettings& settings) {
  InitialiseLibraryOnce();
  mosquitto_int_option(client, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  int rc = MOSQ_ERR_SUCCESS;
  if (!settings.username.empty()) {
    rc = mosquitto_username_pw_set(client, settings.username.c_str(),
                                   settings.password.empty() ? nullptr : settings.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !settings.ca_file.empty()) {
    rc =
        mosquitto_tls_set(client, settings.ca_file.c_str(), nullptr,
                          settings.cert_file.empty() ? nullptr : settings.cert_file.c_str(),
                          settings.key_file.empty() ? nullptr : settings.key_file.c_str(), nullptr);
  }
  return rc;
}

BrokerLink::BrokerLink(LinkSettings settings, LinkHandlers handlers)
    : settings_(std::move(settings)), handlers_(std::move(handlers)) {}

BrokerLink::~BrokerLink() {
  Stop();
  if (client_ != nullptr) mosquitto_destroy(client_);
}

bool BrokerLink::Start(std::string* error) {
  InitialiseLibraryOnce();
  client_ = mosquitto_new(settings_.client_id.c_str(), true, this);
  if (client_ == nullptr) {
    *error = "cannot create an MQTT client";
    return false;
  }
  // This thread drives the network itself (mosquitto_loop), while others
  // publish: the library must lock and wake it.
  mosquitto_threaded_set(client_, true);
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V5);
  mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
  mosquitto_connect_v5_callback_set(client_, &BrokerLink::OnConnect);
  mosquitto_disconnect_v5_callback_set(client_, &BrokerLink::OnDisconnect);
  mosquitto_message_v5_callback_set(client_, &BrokerLink::OnMessage);
  mosquitto_log_callback_set(client_, &BrokerLink::OnLog);

  static constexpr std::string_view kOffline = "offline";
  mosquitto_property* run = nullptr;
  mosquitto_property_add_string_pair(&run, MQTT_PROP_USER_PROPERTY, "run", settings_.run.c_str());
  // The library keeps the properties with the Will on success only.
  int rc = mosquitto_will_set_v5(client_, settings_.will_topic.c_str(),
                                 static_cast<int>(kOffline.size()), kOffline.data(), 1, true, run);
  if (rc != MOSQ_ERR_SUCCESS) mosquitto_property_free_all(&run);
  if (rc == MOSQ_ERR_SUCCESS) rc = ApplyLogin(client_, settings_);
  if (rc != MOSQ_ERR_SUCCESS) {
    *error = mosquitto_strerror(rc);
    return false;
  }
  thread_ = std::thread([this] { Run(); });
  return true;
}

void BrokerLink::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lock(pause_mutex_);
    stop_.store(true);
  }
  pause_wake_.notify_all();
  thread_.join();
}

bool BrokerLink::Publish(std::string_view topic, std::string_view payload, int qos, bool retain,
                         uint32_t expiry_s) {
  if (!connected()) return false;
  const std::string topic_text(topic);
  mosquitto_property* properties = nullptr;
  if (expiry_s > 0) {
    mosquitto_property_add_int32(&properties, MQTT_PROP_MESSAGE_EXPIRY_INTERVAL, expiry_s);
  }
  const int rc =
      mosquitto_publish_v5(client_, nullptr, topic_text.c_str(), static_cast<int>(payload.size()),
                           payload.data(), qos, retain, properties);
  mosquitto_property_free_all(&properties);
  return rc == MOSQ_ERR_SUCCESS;
}

bool BrokerLink::PublishState(std::string_view state) {
  mosquitto_property* run = nullptr;
  mosquitto_property_add_string_pair(&run, MQTT_PROP_USER_PROPERTY, "run", settings_.run.c_str());
  const int rc = mosquitto_publish_v5(client_, nullptr, settings_.will_topic.c_str(),
                                      static_cast<int>(state.size()), state.data(), 1, true, run);
  mosquitto_property_free_all(&run);
  return rc == MOSQ_ERR_SUCCESS;
}

bool BrokerLink::Subscribe(const std::string& filter, int qos, bool retained) {
  const int options = MQTT_SUB_OPT_NO_LOCAL |
                      (retained ? MQTT_SUB_OPT_SEND_RETAIN_ALWAYS : MQTT_SUB_OPT_SEND_RETAIN_NEVER);
  return mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), qos, options, nullptr) ==
         MOSQ_ERR_SUCCESS;
}

void BrokerLink::OnConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*) {
  auto* link = static_cast<BrokerLink*>(self);
  if (reason != 0) {
    link->refusal_reason_ = reason;
    return;
  }
  std::fprintf(stderr, "kelto-bridge: connected to %s:%d\n", link->settings_.host.c_str(),
               link->settings_.port);
  link->backoff_ms_ = kFirstBackoffMs;
  link->session_up_ = true;
  link->logged_loss_ = false;
  link->logged_person_ = false;
  link->connected_.store(true, std::memory_order_release);
  if (link->handlers_.on_connected) link->handlers_.on_connected();
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int reason, const mosquitto_property*) {
  auto* link = static_cast<BrokerLink*>(self);
  // The broker's DISCONNECT gives an MQTT reason code (0x80 and up); the
  // library then reports the closed socket with an error code of its own,
  // which must not hide it.
  if (reason >= 0x80) link->disconnect_reason_ = reason;
  link->connected_.store(false, std::memory_order_release);
}

void BrokerLink::OnLog(mosquitto*, void* self, int level, const char* text) {
  if (level != MOSQ_LOG_ERR || text == nullptr) return;
  auto* link = static_cast<BrokerLink*>(self);
  std::lock_guard<std::mutex> lock(link->log_mutex_);
  if (!link->library_error_.empty()) link->library_error_ += "; ";
  // One failure can log a chain of reasons; the first few tell it.
  if (link->library_error_.size() < 512) link->library_error_ += text;
}

std::string BrokerLink::TakeLibraryError() {
  std::lock_guard<std::mutex> lock(log_mutex_);
  return std::exchange(library_error_, std::string());
}

void BrokerLink::OnMessage(mosquitto*, void* self, const mosquitto_message* message,
                           const mosquitto_property*) {
  auto* link = static_cast<BrokerLink*>(self);
  if (!link->handlers_.on_message || message->topic == nullptr) return;
  const std::string_view payload(
      static_cast<const char*>(message->payload),
      message->payload == nullptr ? 0 : static_cast<size_t>(message->payloadlen));
  link->handlers_.on_message(message->topic, payload);
}

void BrokerLink::PauseForBackoff() {
  std::unique_lock<std::mutex> lock(pause_mutex_);
  pause_wake_.wait_for(lock, std::chrono::milliseconds(backoff_ms_),
                       [this] { return stop_.load(); });
  backoff_ms_ = std::min(backoff_ms_ * 2, kLastBackoffMs);
}

void BrokerLink::PauseForPerson(const std::string& what) {
  if (!logged_person_) {
    std::fprintf(stderr,
                 "kelto-bridge: %s; retrying only every %d s, as this needs a person to mend "
                 "(next try at %s)\n",
                 what.c_str(), kPersonBackoffS, ClockTimeIn(kPersonBackoffS).c_str());
    logged_person_ = true;
    logged_loss_ = true;
  }
  std::unique_lock<std::mutex> lock(pause_mutex_);
  pause_wake_.wait_for(lock, std::chrono::seconds(kPersonBackoffS),
                       [this] { return stop_.load(); });
}

void BrokerLink::PauseForTls(int rc) {
  const std::string why = TakeLibraryError();
  PauseForPerson("TLS with the broker at " + settings_.host + ":" + std::to_string(settings_.port) +
                 " failed: " + (why.empty() ? mosquitto_strerror(rc) : why));
}

bool BrokerLink::Connect() {
  refusal_reason_ = 0;
  disconnect_reason_ = 0;
  session_up_ = false;
  TakeLibraryError();
  mosquitto_property* properties = nullptr;
  if (settings_.max_packet_bytes > 0) {
    mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
                                 settings_.max_packet_bytes);
  }
  const int rc = mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port,
                                           settings_.keepalive_s, nullptr, properties);
  mosquitto_property_free_all(&properties);
  if (rc == MOSQ_ERR_SUCCESS) return true;
  if (rc == MOSQ_ERR_TLS) {
    PauseForTls(rc);
    return false;
  }
  if (!logged_loss_) {
    std::fprintf(stderr, "kelto-bridge: cannot reach the broker at %s:%d (%s); retrying\n",
                 settings_.host.c_str(), settings_.port, mosquitto_strerror(rc));
    logged_loss_ = true;
  }
  PauseForBackoff();
  return false;
}

void BrokerLink::ReportLoss(int rc) {
  // The handshake may end inside the network loop rather than in the
  // connect call: a TLS failure before any session is the same refusal of
  // the certificates either way, and no retry at full speed mends it.
  if (rc == MOSQ_ERR_TLS && !session_up_) {
    PauseForTls(rc);
    return;
  }
  if (refusal_reason_ != 0) {
    const std::string what = std::string("the broker refused the connection: ") +
                             mosquitto_reason_string(refusal_reason_);
    if (NeedsAPerson(refusal_reason_)) {
      PauseForPerson(what);
      return;
    }
    if (!logged_loss_) std::fprintf(stderr, "kelto-bridge: %s; retrying\n", what.c_str());
  } else if (!logged_loss_) {
    std::string why = disconnect_reason_ != 0 ? std::string("the broker disconnected it: ") +
                                                    mosquitto_reason_string(disconnect_reason_)
                                              : LossText(rc, settings_.keepalive_s);
    if (rc == MOSQ_ERR_TLS) why += ": " + TakeLibraryError();
    std::fprintf(stderr, "kelto-bridge: lost the broker (%s); reconnecting\n", why.c_str());
  }
  logged_loss_ = true;
  PauseForBackoff();
}

void BrokerLink::Run() {
  bool socket_open = false;
  while (!stop_.load()) {
    if (!socket_open) {
      socket_open = Connect();
      continue;
    }
    const int rc = mosquitto_loop(client_, kLoopTimeoutMs, 1);
    if (rc == MOSQ_ERR_SUCCESS) continue;
    connected_.store(false);
    socket_open = false;
    mosquitto_disconnect(client_);
    // Another bridge with this id connected (the broker may say so, or
    // only close the socket, and the other's state then stands online):
    // reconnecting would take the session back and start a fight that
    // neither side ever wins.
    if (disconnect_reason_ == MQTT_RC_SESSION_TAKEN_OVER ||
        PeekState(settings_, settings_.will_topic, kTakeOverListenMs) == PeerState::kOnline) {
      taken_over_.store(true, std::memory_order_release);
      return;
    }
    ReportLoss(rc);
  }
  if (socket_open) SendOfflineAndDisconnect();
}

void BrokerLink::SendOfflineAndDisconnect() {
  if (connected()) PublishState("offline");
  mosquitto_disconnect(client_);
  for (int step = 0; step < 20 && mosquitto_loop(client_, 50, 1) == MOSQ_ERR_SUCCESS; ++step) {
  }
  connected_.store(false);
}

}  // namespace kelto::bridge
