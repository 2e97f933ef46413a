// Tells when each daemon of a fleet relays: sends every daemon a probe
// datagram, again and again, until a subscriber on the fleet's topics has
// received one of the current round from it.
#ifndef QUORREL_BENCH_FLEET_PROBE_H_
#define QUORREL_BENCH_FLEET_PROBE_H_

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "tests/support/process.h"

struct mosquitto;
struct mosquitto_message;

namespace quorrel_bench {

using quorrel_test::Clock;
using quorrel_test::milliseconds;

// Daemon number i publishes on "<topic_prefix><i>" and reads datagrams at
// dgram_paths[i]. The subscriber is a libmosquitto client with its own
// network thread, connected only between connect() and disconnect(), so that
// it makes no connection attempts of its own while the broker is away.
class FleetProbe {
 public:
  FleetProbe(std::string topic_prefix, std::vector<std::string> dgram_paths);
  ~FleetProbe();
  FleetProbe(const FleetProbe&) = delete;
  FleetProbe& operator=(const FleetProbe&) = delete;

  // Connects a fresh client to 127.0.0.1:`port`, subscribes to
  // "<topic_prefix>#" and waits for both acknowledgements. False on
  // refusal or time-out. Bench thread.
  bool connect(int port);
  // Disconnects and ends the client and its network thread. Bench thread.
  void disconnect();

  // Starts a new round and sends each daemon a probe every `interval` until
  // one of this round from each has arrived, or until `timeout`. Returns,
  // per daemon, when its first probe of the round arrived; a default
  // time_point for a daemon none arrived from. REQUIRES: connected.
  std::vector<Clock::time_point> run_round(milliseconds interval, milliseconds timeout);

 private:
  static void on_connect(struct mosquitto* mosq, void* self, int rc);
  static void on_subscribe(struct mosquitto* mosq, void* self, int mid, int count,
                           const int* granted);
  static void on_message(struct mosquitto* mosq, void* self, const mosquitto_message* msg);

  const std::string topic_prefix_;
  const std::vector<std::string> dgram_paths_;
  int send_fd_ = -1;  // one unbound datagram socket that sends to every daemon
  struct mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;
  int round_number_ = 0;  // bench thread only

  std::mutex mu_;  // guards everything below; the network thread writes
  std::condition_variable cv_;
  int connack_ = -1;
  bool subscribed_ = false;
  std::string round_;                       // the payload of the current round's probes
  std::vector<Clock::time_point> arrived_;  // per daemon, for the current round
  size_t arrived_count_ = 0;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_FLEET_PROBE_H_
