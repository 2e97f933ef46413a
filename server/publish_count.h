// The publishes the MQTT library holds for the daemon and has not reported
// done, counted in messages and payload bytes, with the daemon's own copy of
// each (held_message): the library offers no way to list or take back what
// it holds, so what it had not finished when a session is lost is taken
// back from here (take_unfinished_publishes). The count serves two ends:
// back-pressure (the relay stops reading the local sockets while the library
// holds more than the high-water mark) and the end of a burst, the moment
// the memory of a burst the broker was slow to take is worth handing back to
// the system.
//
// Each publish is recorded under its message id, so that the library's report
// for it removes exactly its bytes. The report may come (on the network
// thread) before mosquitto_publish has returned the id to the main thread;
// such an early report is remembered and cancels the record when it comes.
//
// The records live in the session (mqtt_session), which alone calls these
// functions. Thread: publish_taken on the main thread, publish_finished and
// forget_unfinished_publishes on the session thread, publishes_held on
// either; the records' own mutex guards them, held only for a table operation.
// The records are a fixed table (kPublishRecordSlots), so that counting never
// allocates; back-pressure keeps the holdings far below its size.
#ifndef QUORREL_SERVER_PUBLISH_COUNT_H_
#define QUORREL_SERVER_PUBLISH_COUNT_H_

#include <pthread.h>
#include <stdint.h>

#include <atomic>

#include "server/held_message.h"

// What the library holds for the daemon.
struct held_publishes {
  uint32_t messages;
  uint64_t bytes;  // payload bytes
};

// Back-pressure marks. Above either high-water figure the local sockets are
// no longer read; reading resumes once both are at or below the low-water
// figures. On a 64 MB device the library's copies (a QoS 1 message is held
// as a stored message and, until sent, as a packet) then stay within a few
// MiB, while a burst of small datagrams still fills a useful window.
constexpr uint32_t kHighWaterMessages = 1024;
constexpr uint64_t kHighWaterBytes = 1024 * 1024;
constexpr uint32_t kLowWaterMessages = kHighWaterMessages / 2;
constexpr uint64_t kLowWaterBytes = kHighWaterBytes / 2;

// A burst worth handing memory back after: at least this many publishes, or
// this many payload bytes, were held at once.
constexpr uint32_t kTrimAfterPublishes = kLowWaterMessages;
constexpr uint64_t kTrimAfterBytes = kLowWaterBytes;

// Publishes that can be recorded at once (with early reports). A publish
// beyond three quarters of it goes uncounted.
constexpr unsigned kPublishRecordSlots = 4096;

// Where the holdings stand against the marks.
enum water_level { kAtOrBelowLowWater, kBetweenMarks, kAboveHighWater };

// One publish held: its message id (0: a free slot; the library never hands
// out 0), its payload bytes (or a mark for a report that came first) and the
// daemon's copy of the message when it kept one.
struct publish_record {
  int mid;
  uint32_t bytes;
  held_message* copy;
};

// The records: a table indexed by message id (open addressing with Robin
// Hood probing), what it holds in all, and the copies in publish order.
// `mutex` guards every field but `level`, which is written under it and read
// without it. Zero-initialise (or value-initialise) before use; owns the
// copies it holds.
struct publish_records {
  publish_record table[kPublishRecordSlots];
  unsigned used;
  held_publishes held;
  held_publishes peak;  // most held at once since the last burst end
  held_list copies;
  uint64_t finished;  // reports of publishes done since the start
  pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
  std::atomic<int> level{kAtOrBelowLowWater};
};

// True when `held` is above a high-water figure.
bool above_high_water(held_publishes held) noexcept;

// True when `held` is at or below both low-water figures.
bool at_or_below_low_water(held_publishes held) noexcept;

// Main thread, after mosquitto_publish accepted `bytes` of payload under
// message id `mid`. A report for `mid` that came first cancels the record.
void publish_taken(publish_records* r, int mid, uint32_t bytes) noexcept;

// publish_taken for a publish of `m`, which the records then own until the
// library reports it done (then it is freed) or it is taken back. A report
// that came first frees it at once.
void publish_taken_message(publish_records* r, int mid, held_message* m) noexcept;

// Session thread, when the library reports `mid` done (sent at QoS 0,
// acknowledged at QoS 1 and 2). True when this ends a burst: nothing is left
// held and at least kTrimAfterPublishes messages or kTrimAfterBytes bytes
// were held at once since the last true; the caller then returns the freed
// memory to the system. `*crossed_low` (when not null) is set true when this
// report brought the holdings from above the low-water mark to at or below
// it, so that reading may resume.
bool publish_finished(publish_records* r, int mid, bool* crossed_low) noexcept;

// Session thread, when the library has dropped everything it held (a QoS 0
// session lost: its unsent packets are discarded without a report). At QoS 1
// and 2 the library keeps and resends its messages, and their reports still
// come, so the records stay. Returns how many publishes were held: those the
// library has dropped unsent.
uint32_t forget_unfinished_publishes(publish_records* r) noexcept;

// Session thread, after a session ended and before the library forgets
// what it held: moves every copy still held, in the order they were
// published, to the end of `out`, and clears the records. Returns how many
// publishes were held (copies or not).
uint32_t take_unfinished_publishes(publish_records* r, held_list* out) noexcept;

// The arrival number of the oldest copy held, 0 when none.
uint64_t oldest_unfinished_publish(publish_records* r) noexcept;

// What is held now.
held_publishes publishes_held(publish_records* r) noexcept;

// How many reports publish_finished has had since the start: one per
// publish the library is done with. Any thread.
uint64_t publishes_finished(publish_records* r) noexcept;

// The level after the latest change to the records, read without taking
// their lock: the main thread asks after every local message.
water_level publish_water_level(const publish_records* r) noexcept;

#endif  // QUORREL_SERVER_PUBLISH_COUNT_H_
