// The baseline for the relay's sustained rate: a persistent libmosquitto
// publisher in this process, written the way an application that links the
// library would write it.
#ifndef QUORREL_BENCH_NATIVE_PUBLISHER_H_
#define QUORREL_BENCH_NATIVE_PUBLISHER_H_

#include <condition_variable>
#include <mutex>
#include <string>

#include "tests/support/process.h"

struct mosquitto;

namespace quorrel_bench {

using quorrel_test::milliseconds;

// One session with its own network thread (mosquitto_loop_start), kept open
// across runs like the daemon's.
class NativePublisher {
 public:
  NativePublisher();
  ~NativePublisher();
  NativePublisher(const NativePublisher&) = delete;
  NativePublisher& operator=(const NativePublisher&) = delete;

  // Connects to 127.0.0.1:`port` and waits for the broker's acceptance.
  bool start(int port);

  // Publishes `count` payloads made by `make_payload(i, &buffer)` on `topic`
  // at `qos`, then waits until the library has reported every one of them
  // sent (QoS 0) or acknowledged (QoS 1), or until none was reported for
  // `idle`. Returns the number reported.
  template <typename MakePayload>
  size_t publish_all(const std::string& topic, int qos, size_t count, MakePayload make_payload,
                     milliseconds idle) {
    begin_run(count);
    std::string payload;
    for (size_t i = 0; i < count; ++i) {
      make_payload(i, &payload);
      if (!publish_one(topic, qos, payload)) break;
    }
    return wait_reported(count, idle);
  }

 private:
  void begin_run(size_t count);
  bool publish_one(const std::string& topic, int qos, const std::string& payload);
  size_t wait_reported(size_t count, milliseconds idle);
  static void on_connect(struct mosquitto* mosq, void* self, int rc);
  static void on_publish(struct mosquitto* mosq, void* self, int mid);

  struct mosquitto* mosq_ = nullptr;
  bool loop_started_ = false;

  std::mutex mu_;  // guards everything below; the network thread writes
  std::condition_variable cv_;
  int connack_ = -1;
  size_t reported_ = 0;
  size_t target_ = 0;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_NATIVE_PUBLISHER_H_
