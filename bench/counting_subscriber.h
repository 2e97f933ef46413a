// An MQTT subscriber for load runs: it keeps no messages, it only counts the
// ones that belong to the run in progress and notes when the last one came.
#ifndef QUORREL_BENCH_COUNTING_SUBSCRIBER_H_
#define QUORREL_BENCH_COUNTING_SUBSCRIBER_H_

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

// What one run delivered.
struct Delivery {
  size_t delivered = 0;   // distinct expected messages that arrived
  size_t duplicates = 0;  // expected messages that arrived more than once
  size_t foreign = 0;     // other messages on the subscription during the run
  // Expected messages that came after one with a higher sequence number
  // (expect_sequence runs only).
  size_t out_of_order = 0;
  size_t lowest = 0;        // the lowest sequence number that arrived (when any did)
  Clock::time_point first;  // arrival of the first expected message (when any did)
  Clock::time_point last;   // arrival of the last expected message
};

// A libmosquitto client with its own network thread. A run is armed with
// expect_sequence() or expect_exact() from the bench thread; the network
// thread counts what arrives; wait() returns the tally.
class CountingSubscriber {
 public:
  // A client with a clean session and an identifier the broker chooses; or,
  // with `id`, one whose session and subscriptions the broker keeps while it
  // is away (clean session off), so that nothing published for it is lost
  // before it comes back.
  CountingSubscriber();
  explicit CountingSubscriber(const std::string& id);
  ~CountingSubscriber();
  CountingSubscriber(const CountingSubscriber&) = delete;
  CountingSubscriber& operator=(const CountingSubscriber&) = delete;

  // Connects to 127.0.0.1:`port`, subscribes to `topic` at `qos` and waits
  // for both acknowledgements. False on refusal or time-out.
  bool start(int port, const std::string& topic, int qos);

  // Arms a run of `count` messages whose payloads are `prefix` followed by a
  // decimal sequence number below `count` (and anything that is not a digit).
  // The run is complete once `complete_after` of them have arrived (all of
  // them when 0): some of the numbers may never come.
  void expect_sequence(const std::string& prefix, size_t count, size_t complete_after = 0);
  // Arms a run of one message whose payload is exactly `payload`.
  // REQUIRES: `payload` stays alive until the next expect_*() call.
  void expect_exact(const std::string* payload);

  // Waits until the armed run is complete, or until nothing expected has
  // arrived for `idle`; returns the tally either way.
  Delivery wait(milliseconds idle);

 private:
  static void on_connect(struct mosquitto* mosq, void* self, int rc);
  static void on_subscribe(struct mosquitto* mosq, void* self, int mid, int count,
                           const int* granted);
  static void on_message(struct mosquitto* mosq, void* self, const mosquitto_message* msg);
  void count_message(const char* payload, size_t len);

  struct mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;

  std::mutex mu_;  // guards everything below; the network thread writes
  std::condition_variable cv_;
  int connack_ = -1;
  bool subscribed_ = false;
  std::string prefix_;
  const std::string* exact_ = nullptr;
  std::vector<bool> seen_;
  size_t complete_after_ = 0;  // the run is complete with this many delivered
  size_t highest_ = 0;         // the highest sequence number that arrived in this run
  Delivery tally_;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_COUNTING_SUBSCRIBER_H_
