// The bridge's one connection to the broker: MQTT v5, TCP_NODELAY, a Will
// that marks the node offline, and a network thread of its own that
// reconnects after a short back-off (50 ms doubling to 500 ms), so the
// bridge is back within a second of the broker being reachable again.
// Refusals only a person can mend (credentials, access rules, a TLS
// certificate) are retried slowly instead, and said once with the time of
// the next try. A session taken over by another client of the same id ends
// the link for good: two bridges must never fight over one session.
#ifndef KELTO_TOOLS_BRIDGE_BROKER_LINK_H_
#define KELTO_TOOLS_BRIDGE_BROKER_LINK_H_

#include <mosquitto.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace kelto::bridge {

struct LinkSettings {
  std::string host;
  int port = 1883;
  int keepalive_s = 10;
  std::string client_id;
  std::string username;
  std::string password;
  std::string ca_file;
  std::string cert_file;
  std::string key_file;
  std::string will_topic;  // receives "offline" (retained) when the link dies
  // The bridge's run, a user property of its state messages: a state
  // "online" of another run means another bridge is connected.
  std::string run;
  // Told to the broker in CONNECT: it drops larger messages for this client
  // rather than pass them on to be read whole.
  uint32_t max_packet_bytes = 0;
};

struct LinkHandlers {
  // On the network thread, after every accepted (re)connect.
  std::function<void()> on_connected;
  // On the network thread, for every message received.
  std::function<void(std::string_view topic, std::string_view payload)> on_message;
};

// Puts the protocol version, user name, password and TLS files of
// `settings` on a client; a libmosquitto result.
int ApplyLogin(mosquitto* client, const LinkSettings& settings);

class BrokerLink {
 public:
  BrokerLink(LinkSettings settings, LinkHandlers handlers);
  ~BrokerLink();
  BrokerLink(const BrokerLink&) = delete;
  BrokerLink& operator=(const BrokerLink&) = delete;

  // Sets the client up and starts the network thread. False with a reason
  // when the settings cannot work (a TLS file the library refuses, ...).
  bool Start(std::string* error);
  // Publishes `offline` on the Will topic, disconnects and joins the thread.
  void Stop();

  bool connected() const { return connected_.load(std::memory_order_acquire); }
  // Set once another client took the session over; the link then stays
  // down. The text says what happened.
  bool taken_over() const { return taken_over_.load(std::memory_order_acquire); }

  // Any thread. False when there is no connection (the message is dropped:
  // values are sent again in full after the next connect anyway).
  // expiry_s > 0 adds the MQTT v5 message expiry interval.
  bool Publish(std::string_view topic, std::string_view payload, int qos, bool retain,
               uint32_t expiry_s = 0);
  // "online" or "offline" (retained) on the Will topic, naming the run.
  bool PublishState(std::string_view state);
  // Subscribes with No Local, so the bridge never hears its own messages.
  // Without `retained`, messages the broker kept from before are not sent.
  bool Subscribe(const std::string& filter, int qos, bool retained = true);

 private:
  static void OnConnect(mosquitto* client, void* self, int reason, int flags,
                        const mosquitto_property* properties);
  static void OnDisconnect(mosquitto* client, void* self, int reason,
                           const mosquitto_property* properties);
  static void OnMessage(mosquitto* client, void* self, const mosquitto_message* message,
                        const mosquitto_property* properties);
  static void OnLog(mosquitto* client, void* self, int level, const char* text);
  void Run();
  bool Connect();
  void ReportLoss(int rc);
  // Why the last attempt failed in the library's own words (OpenSSL's
  // reason for a TLS failure), or "".
  std::string TakeLibraryError();
  void PauseForBackoff();
  void PauseForPerson(const std::string& what);
  void PauseForTls(int rc);
  void SendOfflineAndDisconnect();

  LinkSettings settings_;
  LinkHandlers handlers_;
  mosquitto* client_ = nullptr;
  std::thread thread_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> connected_{false};
  std::atomic<bool> taken_over_{false};
  std::mutex pause_mutex_;
  std::condition_variable pause_wake_;
  int backoff_ms_ = 50;
  bool logged_loss_ = false;
  bool logged_person_ = false;
  // Network thread only: what the last CONNACK or DISCONNECT said.
  int refusal_reason_ = 0;
  int disconnect_reason_ = 0;
  // Network thread only: this socket's session was accepted (CONNACK 0).
  bool session_up_ = false;
  std::mutex log_mutex_;
  std::string library_error_;
};

}  // namespace kelto::bridge

#endif  // KELTO_TOOLS_BRIDGE_BROKER_LINK_H_
