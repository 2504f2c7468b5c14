#include "bridge/broker_link.h"

#include <mqtt_protocol.h>

#include <chrono>
#include <cstdio>

namespace kelto::bridge {
namespace {

constexpr int kFirstBackoffMs = 50;
constexpr int kLastBackoffMs = 500;
// How long one network step may sleep without traffic; publications from
// other threads wake it at once through the library's own pipe.
constexpr int kLoopTimeoutMs = 250;

// libmosquitto keeps one global state; set it up once per process.
void InitialiseLibraryOnce() {
  static const int initialised = mosquitto_lib_init();
  (void)initialised;
}

}  // namespace

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

  static constexpr std::string_view kOffline = "offline";
  int rc =
      mosquitto_will_set_v5(client_, settings_.will_topic.c_str(),
                            static_cast<int>(kOffline.size()), kOffline.data(), 1, true, nullptr);
  if (rc == MOSQ_ERR_SUCCESS && !settings_.username.empty()) {
    rc = mosquitto_username_pw_set(
        client_, settings_.username.c_str(),
        settings_.password.empty() ? nullptr : settings_.password.c_str());
  }
  if (rc == MOSQ_ERR_SUCCESS && !settings_.ca_file.empty()) {
    rc = mosquitto_tls_set(client_, settings_.ca_file.c_str(), nullptr,
                           settings_.cert_file.empty() ? nullptr : settings_.cert_file.c_str(),
                           settings_.key_file.empty() ? nullptr : settings_.key_file.c_str(),
                           nullptr);
  }
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

bool BrokerLink::Subscribe(const std::string& filter, int qos, bool retained) {
  const int options = MQTT_SUB_OPT_NO_LOCAL |
                      (retained ? MQTT_SUB_OPT_SEND_RETAIN_ALWAYS : MQTT_SUB_OPT_SEND_RETAIN_NEVER);
  return mosquitto_subscribe_v5(client_, nullptr, filter.c_str(), qos, options, nullptr) ==
         MOSQ_ERR_SUCCESS;
}

void BrokerLink::OnConnect(mosquitto*, void* self, int reason, int, const mosquitto_property*) {
  auto* link = static_cast<BrokerLink*>(self);
  if (reason != 0) {
    std::fprintf(stderr, "kelto-bridge: the broker refused the connection: %s\n",
                 mosquitto_reason_string(reason));
    return;
  }
  std::fprintf(stderr, "kelto-bridge: connected to %s:%d\n", link->settings_.host.c_str(),
               link->settings_.port);
  link->backoff_ms_ = kFirstBackoffMs;
  link->logged_loss_ = false;
  link->connected_.store(true, std::memory_order_release);
  if (link->handlers_.on_connected) link->handlers_.on_connected();
}

void BrokerLink::OnDisconnect(mosquitto*, void* self, int, const mosquitto_property*) {
  static_cast<BrokerLink*>(self)->connected_.store(false, std::memory_order_release);
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

void BrokerLink::Run() {
  bool socket_open = false;
  while (!stop_.load()) {
    if (!socket_open) {
      const int rc = mosquitto_connect_bind_v5(client_, settings_.host.c_str(), settings_.port,
                                               settings_.keepalive_s, nullptr, nullptr);
      if (rc != MOSQ_ERR_SUCCESS) {
        if (!logged_loss_) {
          std::fprintf(stderr, "kelto-bridge: cannot reach the broker at %s:%d (%s); retrying\n",
                       settings_.host.c_str(), settings_.port, mosquitto_strerror(rc));
          logged_loss_ = true;
        }
        PauseForBackoff();
        continue;
      }
      socket_open = true;
    }
    const int rc = mosquitto_loop(client_, kLoopTimeoutMs, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
      connected_.store(false);
      socket_open = false;
      if (!logged_loss_) {
        std::fprintf(stderr, "kelto-bridge: lost the broker (%s); reconnecting\n",
                     mosquitto_strerror(rc));
        logged_loss_ = true;
      }
      mosquitto_disconnect(client_);
      PauseForBackoff();
    }
  }
  if (socket_open) SendOfflineAndDisconnect();
}

void BrokerLink::SendOfflineAndDisconnect() {
  if (connected()) {
    static constexpr std::string_view kOffline = "offline";
    mosquitto_publish_v5(client_, nullptr, settings_.will_topic.c_str(),
                         static_cast<int>(kOffline.size()), kOffline.data(), 1, true, nullptr);
  }
  mosquitto_disconnect(client_);
  for (int step = 0; step < 20 && mosquitto_loop(client_, 50, 1) == MOSQ_ERR_SUCCESS; ++step) {
  }
  connected_.store(false);
}

}  // namespace kelto::bridge
