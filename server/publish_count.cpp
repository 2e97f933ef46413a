#include "server/publish_count.h"

#include <pthread.h>

#include <atomic>

namespace {

static_assert((kPublishRecordSlots & (kPublishRecordSlots - 1)) == 0,
              "the record table's size is a power of two");
static_assert(kHighWaterMessages + 64 < kPublishRecordSlots * 3 / 4,
              "the record table holds everything back-pressure lets through");

// Marks a report that came before its publish was recorded. No payload is
// this long: MQTT limits a packet to 268435455 bytes.
constexpr uint32_t kReportedEarly = UINT32_MAX;

// One record: a message id (0: free; the library never hands out 0) and the
// payload bytes of its publish, or kReportedEarly, with the daemon's copy of
// the message when it kept one.
struct publish_record {
  int mid;
  uint32_t bytes;
  held_message* copy;
};

// Open addressing from the id's low bits, with Robin Hood probing: a record
// never sits further from its home slot than the one it displaced. The
// library hands out ids in sequence, so nearly every record sits in its home
// slot and each operation touches one or two slots; plain linear probing
// would have every removal scan the whole run of held ids.
publish_record table[kPublishRecordSlots];
unsigned used = 0;
held_publishes held{0, 0};
held_publishes peak{0, 0};  // most held at once since the last burst end
held_list copies{};         // the copies, in the order they were published
pthread_mutex_t records_mutex = PTHREAD_MUTEX_INITIALIZER;
// `held` against the marks, written under the lock after each change.
std::atomic<int> level{kAtOrBelowLowWater};

constexpr unsigned kSlotMask = kPublishRecordSlots - 1;

unsigned home_slot(int mid) { return static_cast<unsigned>(mid) & kSlotMask; }

// How far the record in slot `i` sits from its home slot.
unsigned displacement(unsigned i) { return (i - home_slot(table[i].mid)) & kSlotMask; }

// The slot holding `mid`, or kPublishRecordSlots when none does.
unsigned find_slot(int mid) {
  unsigned distance = 0;
  for (unsigned i = home_slot(mid); table[i].mid != 0; i = (i + 1) & kSlotMask, ++distance) {
    if (table[i].mid == mid) return i;
    // Past a record nearer its home than `mid` would be: it is not here.
    if (displacement(i) < distance) break;
  }
  return kPublishRecordSlots;
}

// False when the table is too full to take another record.
bool insert_record(int mid, uint32_t bytes, held_message* copy) {
  if (used >= kPublishRecordSlots * 3 / 4) return false;
  publish_record carried{mid, bytes, copy};
  unsigned distance = 0;
  for (unsigned i = home_slot(mid);; i = (i + 1) & kSlotMask, ++distance) {
    if (table[i].mid == 0) {
      table[i] = carried;
      ++used;
      return true;
    }
    const unsigned theirs = displacement(i);
    if (theirs < distance) {
      const publish_record displaced = table[i];
      table[i] = carried;
      carried = displaced;
      distance = theirs;
    }
  }
}

// Frees slot `hole`, moving the displaced records after it back by one.
void erase_slot(unsigned hole) {
  unsigned next = (hole + 1) & kSlotMask;
  while (table[next].mid != 0 && displacement(next) != 0) {
    table[hole] = table[next];
    hole = next;
    next = (next + 1) & kSlotMask;
  }
  table[hole].mid = 0;
  table[hole].copy = nullptr;
  --used;
}

// Publishes the level of `held`. REQUIRES: records_mutex held.
void update_level() {
  const water_level now = above_high_water(held)        ? kAboveHighWater
                          : at_or_below_low_water(held) ? kAtOrBelowLowWater
                                                        : kBetweenMarks;
  level.store(now, std::memory_order_relaxed);
}

class records_lock {
 public:
  records_lock() { pthread_mutex_lock(&records_mutex); }
  ~records_lock() { pthread_mutex_unlock(&records_mutex); }
  records_lock(const records_lock&) = delete;
  records_lock& operator=(const records_lock&) = delete;
};

}  // namespace

bool above_high_water(held_publishes h) noexcept {
  return h.messages > kHighWaterMessages || h.bytes > kHighWaterBytes;
}

bool at_or_below_low_water(held_publishes h) noexcept {
  return h.messages <= kLowWaterMessages && h.bytes <= kLowWaterBytes;
}

namespace {

void record_publish(int mid, uint32_t bytes, held_message* copy) {
  records_lock lock;
  const unsigned slot = find_slot(mid);
  if (slot != kPublishRecordSlots && table[slot].bytes == kReportedEarly) {
    erase_slot(slot);
    held_message_free(copy);
    return;
  }
  // A full table leaves the publish uncounted, which only loosens
  // back-pressure for it (back-pressure keeps the table far from full).
  if (!insert_record(mid, bytes, copy)) {
    held_message_free(copy);
    return;
  }
  if (copy != nullptr) held_list_push_back(&copies, copy);
  held.messages += 1;
  held.bytes += bytes;
  update_level();
  if (held.messages > peak.messages) peak.messages = held.messages;
  if (held.bytes > peak.bytes) peak.bytes = held.bytes;
}

}  // namespace

void publish_taken(int mid, uint32_t bytes) noexcept {
  if (mid <= 0) return;
  record_publish(mid, bytes, nullptr);
}

void publish_taken_message(int mid, held_message* m) noexcept {
  if (mid <= 0) {
    held_message_free(m);
    return;
  }
  record_publish(mid, m->len, m);
}

bool publish_finished(int mid, bool* crossed_low) noexcept {
  if (crossed_low != nullptr) *crossed_low = false;
  if (mid <= 0) return false;
  records_lock lock;
  const unsigned slot = find_slot(mid);
  if (slot == kPublishRecordSlots) {
    // The main thread has not recorded it yet: remembered, so that the
    // record is cancelled when it comes.
    insert_record(mid, kReportedEarly, nullptr);
    return false;
  }
  if (table[slot].bytes == kReportedEarly) return false;
  const bool was_above_low = !at_or_below_low_water(held);
  held.messages -= 1;
  held.bytes -= table[slot].bytes;
  if (held_message* copy = table[slot].copy) {
    held_list_remove(&copies, copy);
    held_message_free(copy);
  }
  erase_slot(slot);
  update_level();
  if (crossed_low != nullptr) *crossed_low = was_above_low && at_or_below_low_water(held);
  if (held.messages != 0) return false;
  const bool burst = peak.messages >= kTrimAfterPublishes || peak.bytes >= kTrimAfterBytes;
  if (burst) peak = held_publishes{0, 0};
  return burst;
}

namespace {

// Empties the records, handing the copies to `out` (or freeing them when
// null). Returns how many publishes were held. REQUIRES: records_mutex held.
uint32_t clear_records(held_list* out) {
  const uint32_t dropped = held.messages;
  for (publish_record& record : table) {
    record.mid = 0;
    record.copy = nullptr;
  }
  used = 0;
  held = held_publishes{0, 0};
  peak = held_publishes{0, 0};
  if (out != nullptr) {
    held_list_splice_front(&copies, out);  // `out`'s own messages stay first
    *out = copies;
    copies = held_list{};
  } else {
    held_list_free_all(&copies);
  }
  update_level();
  return dropped;
}

}  // namespace

uint32_t forget_unfinished_publishes() noexcept {
  records_lock lock;
  return clear_records(nullptr);
}

uint32_t take_unfinished_publishes(held_list* out) noexcept {
  records_lock lock;
  return clear_records(out);
}

uint64_t oldest_unfinished_publish() noexcept {
  records_lock lock;
  return copies.head != nullptr ? copies.head->seq : 0;
}

held_publishes publishes_held() noexcept {
  records_lock lock;
  return held;
}

water_level publish_water_level() noexcept {
  return static_cast<water_level>(level.load(std::memory_order_relaxed));
}
