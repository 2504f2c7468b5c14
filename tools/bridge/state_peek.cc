#include "bridge/state_peek.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <chrono>
#include <cstdlib>
#include <optional>

namespace kelto::bridge {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kOnlineWatch = std::chrono::seconds(1);
constexpr auto kLongest = std::chrono::seconds(5);

struct Peek {
  std::string topic;
  std::chrono::milliseconds listen;
  bool refused = false;
  std::optional<Clock::time_point> subscribed;
  std::optional<std::string> state;
  std::string run;  // of the last state heard
};

void OnPeekConnect(mosquitto* client, void* self, int reason, int, const mosquitto_property*) {
  auto* peek = static_cast<Peek*>(self);
  if (reason != 0) {
    peek->refused = true;
    return;
  }
  mosquitto_subscribe_v5(client, nullptr, peek->topic.c_str(), 1, 0, nullptr);
}

void OnPeekSubscribe(mosquitto*, void* self, int, int, const int*, const mosquitto_property*) {
  static_cast<Peek*>(self)->subscribed = Clock::now();
}

void OnPeekMessage(mosquitto*, void* self, const mosquitto_message* message,
                   const mosquitto_property* properties) {
  auto* peek = static_cast<Peek*>(self);
  if (message->topic == nullptr || peek->topic != message->topic) return;
  peek->state = std::string(static_cast<const char*>(message->payload),
                            message->payload == nullptr ? 0 : size_t(message->payloadlen));
  peek->run.clear();
  char* name = nullptr;
  char* value = nullptr;
  if (mosquitto_property_read_string_pair(properties, MQTT_PROP_USER_PROPERTY, &name, &value,
                                          false) != nullptr &&
      std::string_view(name) == "run") {
    peek->run = value;
  }
  std::free(name);
  std::free(value);
}

bool Settled(const Peek& peek, Clock::time_point now) {
  if (peek.refused) return true;
  if (!peek.subscribed) return false;
  if (peek.state == "online") return now - *peek.subscribed > kOnlineWatch;
  return now - *peek.subscribed > peek.listen;
}

}  // namespace

PeerState PeekState(const LinkSettings& settings, const std::string& topic, int listen_ms) {
  // Retained messages follow the subscription's acknowledgement at once.
  Peek peek{topic, std::chrono::milliseconds(listen_ms), false, std::nullopt, std::nullopt, ""};
  mosquitto* client = mosquitto_new((settings.client_id + "/peek").c_str(), true, &peek);
  if (client == nullptr) return PeerState::kUnknown;
  mosquitto_connect_v5_callback_set(client, &OnPeekConnect);
  mosquitto_subscribe_v5_callback_set(client, &OnPeekSubscribe);
  mosquitto_message_v5_callback_set(client, &OnPeekMessage);
  if (ApplyLogin(client, settings) == MOSQ_ERR_SUCCESS &&
      mosquitto_connect_bind_v5(client, settings.host.c_str(), settings.port, settings.keepalive_s,
                                nullptr, nullptr) == MOSQ_ERR_SUCCESS) {
    const Clock::time_point give_up = Clock::now() + kLongest;
    while (!Settled(peek, Clock::now()) && Clock::now() < give_up &&
           mosquitto_loop(client, 50, 1) == MOSQ_ERR_SUCCESS) {
    }
    mosquitto_disconnect(client);
  }
  mosquitto_destroy(client);
  // A state of this very run is this bridge's own, kept from before the
  // broker restarted (or before its last connection was noticed dead).
  if (peek.state == "online" && peek.run != settings.run) return PeerState::kOnline;
  return peek.subscribed ? PeerState::kAbsent : PeerState::kUnknown;
}

}  // namespace kelto::bridge
