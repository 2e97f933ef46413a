// An MQTT client for tests: collects what arrives on its subscriptions and
// publishes single messages.
#ifndef QUORREL_TESTS_SUPPORT_SUBSCRIBER_H_
#define QUORREL_TESTS_SUPPORT_SUBSCRIBER_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/process.h"

struct mosquitto;
struct mosquitto_message;

namespace quorrel_test {

struct MqttMessage {
  std::string topic;
  std::string payload;  // exact bytes, NULs included
  int qos = 0;
  bool retain = false;
};

struct MqttClientOptions {
  std::string username;  // sent with `password` when non-empty
  std::string password;
  // TLS is used when all three are set.
  std::string cafile;
  std::string certfile;
  std::string keyfile;
};

// A libmosquitto client with its own network thread. Messages are stored in
// arrival order under a lock; the network thread writes, test code reads.
// Subscriptions are renewed after every reconnect, so the subscriber
// survives a broker restart.
class MqttSubscriber {
 public:
  MqttSubscriber();
  ~MqttSubscriber();
  MqttSubscriber(const MqttSubscriber&) = delete;
  MqttSubscriber& operator=(const MqttSubscriber&) = delete;

  // Connects to 127.0.0.1:`port` and waits for the broker's acceptance.
  // Returns false on refusal or when `timeout` passes.
  bool connect(int port, const MqttClientOptions& options = MqttClientOptions(),
               milliseconds timeout = milliseconds(5000));
  // Subscribes and waits for the broker's acknowledgement, so that nothing
  // published afterwards is missed.
  bool subscribe(const std::string& topic, int qos = 0, milliseconds timeout = milliseconds(5000));
  // Publishes one message and waits until it has been sent (QoS 0) or
  // acknowledged (QoS 1 and 2).
  bool publish(const std::string& topic, const std::string& payload, int qos = 0,
               bool retain = false, milliseconds timeout = milliseconds(5000));

  // Waits at most `timeout` until `count` messages have arrived and returns
  // all that arrived so far (possibly fewer, or more).
  std::vector<MqttMessage> wait_for(size_t count, milliseconds timeout);
  std::vector<MqttMessage> messages() const;
  void clear();

  // Messages whose payload begins with `prefix` are counted, not stored.
  void ignore_payload_prefix(const std::string& prefix);
  size_t ignored_count() const;

  // True while the session to the broker is up (after a CONNACK of 0).
  bool connected() const;

 private:
  bool wait_acked(int mid, milliseconds timeout);

  static void on_connect(struct mosquitto* mosq, void* self, int rc);
  static void on_disconnect(struct mosquitto* mosq, void* self, int rc);
  static void on_subscribe(struct mosquitto* mosq, void* self, int mid, int count,
                           const int* granted);
  static void on_publish(struct mosquitto* mosq, void* self, int mid);
  static void on_message(struct mosquitto* mosq, void* self, const mosquitto_message* msg);

  struct mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;

  mutable std::mutex mu_;  // guards everything below; the network thread writes
  std::condition_variable cv_;
  int connack_ = -1;  // last CONNACK result; -1 before any
  bool connected_ = false;
  std::vector<std::pair<std::string, int>> subscriptions_;
  std::vector<int> acked_mids_;  // SUBACK and PUBACK (or "sent") message ids
  std::vector<MqttMessage> messages_;
  std::string ignore_prefix_;
  size_t ignored_ = 0;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_SUBSCRIBER_H_
