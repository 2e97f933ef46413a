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

// The table uses open addressing from the id's low bits, with Robin Hood
// probing: a record never sits further from its home slot than the one it
// displaced. The library hands out ids in sequence, so nearly every record
// sits in its home slot and each operation touches one or two slots; plain
// linear probing would have every removal scan the whole run of held ids.
constexpr unsigned kSlotMask = kPublishRecordSlots - 1;

unsigned home_slot(int mid) { return static_cast<unsigned>(mid) & kSlotMask; }

// How far the record in slot `i` sits from its home slot.
unsigned displacement(const publish_records* r, unsigned i) {
  return (i - home_slot(r->table[i].mid)) & kSlotMask;
}

// The slot holding `mid`, or kPublishRecordSlots when none does.
unsigned find_slot(const publish_records* r, int mid) {
  unsigned distance = 0;
  for (unsigned i = home_slot(mid); r->table[i].mid != 0; i = (i + 1) & kSlotMask, ++distance) {
    if (r->table[i].mid == mid) return i;
    // Past a record nearer its home than `mid` would be: it is not here.
    if (displacement(r, i) < distance) break;
  }
  return kPublishRecordSlots;
}

// False when the table is too full to take another record.
bool insert_record(publish_records* r, int mid, uint32_t bytes, held_message* copy) {
  if (r->used >= kPublishRecordSlots * 3 / 4) return false;
  publish_record carried{mid, bytes, copy};
  unsigned distance = 0;
  for (unsigned i = home_slot(mid);; i = (i + 1) & kSlotMask, ++distance) {
    if (r->table[i].mid == 0) {
      r->table[i] = carried;
      ++r->used;
      return true;
    }
    const unsigned theirs = displacement(r, i);
    if (theirs < distance) {
      const publish_record displaced = r->table[i];
      r->table[i] = carried;
      carried = displaced;
      distance = theirs;
    }
  }
}

// Frees slot `hole`, moving the displaced records after it back by one.
void erase_slot(publish_records* r, unsigned hole) {
  unsigned next = (hole + 1) & kSlotMask;
  while (r->table[next].mid != 0 && displacement(r, next) != 0) {
    r->table[hole] = r->table[next];
    hole = next;
    next = (next + 1) & kSlotMask;
  }
  r->table[hole].mid = 0;
  r->table[hole].copy = nullptr;
  --r->used;
}

// Publishes the level of `r->held`. REQUIRES: r->mutex held.
void update_level(publish_records* r) {
  const water_level now = above_high_water(r->held)        ? kAboveHighWater
                          : at_or_below_low_water(r->held) ? kAtOrBelowLowWater
                                                           : kBetweenMarks;
  r->level.store(now, std::memory_order_relaxed);
}

class records_lock {
 public:
  explicit records_lock(publish_records* r) : r_(r) { pthread_mutex_lock(&r_->mutex); }
  ~records_lock() { pthread_mutex_unlock(&r_->mutex); }
  records_lock(const records_lock&) = delete;
  records_lock& operator=(const records_lock&) = delete;

 private:
  publish_records* r_;
};

}  // namespace

bool above_high_water(held_publishes h) noexcept {
  return h.messages > kHighWaterMessages || h.bytes > kHighWaterBytes;
}

bool at_or_below_low_water(held_publishes h) noexcept {
  return h.messages <= kLowWaterMessages && h.bytes <= kLowWaterBytes;
}

namespace {

void record_publish(publish_records* r, int mid, uint32_t bytes, held_message* copy) {
  records_lock lock(r);
  const unsigned slot = find_slot(r, mid);
  if (slot != kPublishRecordSlots && r->table[slot].bytes == kReportedEarly) {
    erase_slot(r, slot);
    held_message_free(copy);
    return;
  }
  // A full table leaves the publish uncounted, which only loosens
  // back-pressure for it (back-pressure keeps the table far from full).
  if (!insert_record(r, mid, bytes, copy)) {
    held_message_free(copy);
    return;
  }
  if (copy != nullptr) held_list_push_back(&r->copies, copy);
  r->held.messages += 1;
  r->held.bytes += bytes;
  update_level(r);
  if (r->held.messages > r->peak.messages) r->peak.messages = r->held.messages;
  if (r->held.bytes > r->peak.bytes) r->peak.bytes = r->held.bytes;
}

}  // namespace

void publish_taken(publish_records* r, int mid, uint32_t bytes) noexcept {
  if (mid <= 0) return;
  record_publish(r, mid, bytes, nullptr);
}

void publish_taken_message(publish_records* r, int mid, held_message* m) noexcept {
  if (mid <= 0) {
    held_message_free(m);
    return;
  }
  record_publish(r, mid, m->len, m);
}

bool publish_finished(publish_records* r, int mid, bool* crossed_low) noexcept {
  if (crossed_low != nullptr) *crossed_low = false;
  if (mid <= 0) return false;
  records_lock lock(r);
  ++r->finished;
  const unsigned slot = find_slot(r, mid);
  if (slot == kPublishRecordSlots) {
    // The main thread has not recorded it yet: remembered, so that the
    // record is cancelled when it comes.
    insert_record(r, mid, kReportedEarly, nullptr);
    return false;
  }
  if (r->table[slot].bytes == kReportedEarly) return false;
  const bool was_above_low = !at_or_below_low_water(r->held);
  r->held.messages -= 1;
  r->held.bytes -= r->table[slot].bytes;
  if (held_message* copy = r->table[slot].copy) {
    held_list_remove(&r->copies, copy);
    held_message_free(copy);
  }
  erase_slot(r, slot);
  update_level(r);
  if (crossed_low != nullptr) *crossed_low = was_above_low && at_or_below_low_water(r->held);
  if (r->held.messages != 0) return false;
  const bool burst = r->peak.messages >= kTrimAfterPublishes || r->peak.bytes >= kTrimAfterBytes;
  if (burst) r->peak = held_publishes{0, 0};
  return burst;
}

namespace {

// Empties the records, handing the copies to `out` (or freeing them when
// null). Returns how many publishes were held. REQUIRES: r->mutex held.
uint32_t clear_records(publish_records* r, held_list* out) {
  const uint32_t dropped = r->held.messages;
  for (publish_record& record : r->table) {
    record.mid = 0;
    record.copy = nullptr;
  }
  r->used = 0;
  r->held = held_publishes{0, 0};
  r->peak = held_publishes{0, 0};
  if (out != nullptr) {
    held_list_splice_front(&r->copies, out);  // `out`'s own messages stay first
    *out = r->copies;
    r->copies = held_list{};
  } else {
    held_list_free_all(&r->copies);
  }
  update_level(r);
  return dropped;
}

}  // namespace

uint32_t forget_unfinished_publishes(publish_records* r) noexcept {
  records_lock lock(r);
  return clear_records(r, nullptr);
}

uint32_t take_unfinished_publishes(publish_records* r, held_list* out) noexcept {
  records_lock lock(r);
  return clear_records(r, out);
}

uint64_t oldest_unfinished_publish(publish_records* r) noexcept {
  records_lock lock(r);
  return r->copies.head != nullptr ? r->copies.head->seq : 0;
}

held_publishes publishes_held(publish_records* r) noexcept {
  records_lock lock(r);
  return r->held;
}

water_level publish_water_level(const publish_records* r) noexcept {
  return static_cast<water_level>(r->level.load(std::memory_order_relaxed));
}

uint64_t publishes_finished(publish_records* r) noexcept {
  records_lock lock(r);
  return r->finished;
}
