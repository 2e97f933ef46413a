// Publishes the MQTT library holds for the daemon and has not reported done,
// counted to find the end of a burst: the moment the memory of a burst the
// broker was slow to take is worth handing back to the system.
//
// Thread: counted up by the main thread (publish_msg), down by the network
// thread (publish and disconnect callbacks), without a lock. The count only
// decides when memory is handed back, so one that drifts (the library reports
// nothing for what it drops with a session) costs nothing worse than a trim
// too early or too late.
#ifndef QUORREL_SERVER_PUBLISH_COUNT_H_
#define QUORREL_SERVER_PUBLISH_COUNT_H_

#include <atomic>

// Publishes handed to the library that it has not reported done yet (sent at
// QoS 0, acknowledged at QoS 1 and 2).
extern std::atomic<int> unfinished_publishes;

// How many publishes must have been waiting at once for their end to count
// as a burst whose memory is worth handing back to the system.
constexpr int kTrimAfterPublishes = 1024;

// Main thread, before the library is given a publish: its report may come
// before mosquitto_publish returns.
void publish_started() noexcept;

// Main thread, when the library refused the publish just counted.
void publish_not_taken() noexcept;

// Network thread, when the library reports a publish done. True when none is
// left waiting and at least kTrimAfterPublishes were waiting at once since
// the last true: the caller then returns the freed memory to the system.
bool publish_finished() noexcept;

// Network thread, when the session drops: starts counting afresh.
void forget_unfinished_publishes() noexcept;

#endif  // QUORREL_SERVER_PUBLISH_COUNT_H_
