#include "server/message_queue.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "common/log.h"
#include "server/alloc.h"
#include "server/log_throttle.h"

namespace {

// Both clocks read at one moment: what converting a message's `taken`
// to or from a record's time needs.
struct clock_pair {
  double mono;  // monotonic_seconds()
  double wall;  // CLOCK_REALTIME, seconds since the Unix epoch
};

clock_pair clocks_now() {
  struct timespec wall;
  clock_gettime(CLOCK_REALTIME, &wall);
  return clock_pair{monotonic_seconds(),
                    static_cast<double>(wall.tv_sec) + static_cast<double>(wall.tv_nsec) / 1e9};
}

// The record time of `m`, for writing it to the directory.
uint32_t file_time_of(const held_message* m, const clock_pair& now) {
  return queue_file_time(m->taken, now.mono, now.wall);
}

// A message made of a record read back from the directory, with the
// `taken` its record's time gives.
held_message* message_from_file(const message_queue* q, unsigned char* bytes, uint32_t len,
                                uint32_t file_time, const clock_pair& now) {
  held_message* m = held_message_adopt(bytes, len);
  m->taken = queue_taken_time(file_time, q->opened, now.mono, now.wall);
  return m;
}

uint64_t list_stored_bytes(const held_list* list) {
  return list->bytes + uint64_t{kSpoolRecordHeaderBytes} * list->count;
}

// The file that holds a segment of `capacity` bytes: a sixteenth of the
// queue, so that dropping the oldest file to make room gives up little,
// within bounds that keep the number of files and their size sensible.
uint64_t segment_target(uint64_t capacity) {
  uint64_t target = capacity / 16;
  if (target > kSpoolMaxSegmentBytes) target = kSpoolMaxSegmentBytes;
  if (target < kSpoolMinSegmentBytes) target = kSpoolMinSegmentBytes;
  return target;
}

// A write the disk refused with `err`: messages go to memory until the next
// try, kDiskRetrySeconds from `now`; the episode's first failure says so.
void report_disk_failure(message_queue* q, int err, double now) {
  q->disk_retry_at = now + kDiskRetrySeconds;
  if (q->disk_failing) return;
  q->disk_failing = true;
  diag_err("queue directory %s: " QUORREL_CAUSE "; queueing in memory, up to %llu KiB\n",
           q->disk.dir, diag_cause(err), static_cast<unsigned long long>(q->memory_limit / 1024));
}

// Writes `m` to the directory. False after the episode's ERR line when the
// disk cannot take it now.
bool push_to_disk(message_queue* q, held_message* m, double now) {
  if (q->disk_failing && now < q->disk_retry_at) return false;
  const int err = spool_append(&q->disk, m->bytes, m->len, file_time_of(m, clocks_now()));
  if (err == 0) {
    if (q->disk_failing) {
      q->disk_failing = false;
      diag_warn("queue directory %s takes messages again\n", q->disk.dir);
    }
    return true;
  }
  report_disk_failure(q, err, now);
  return false;
}

// The oldest message of the front, taken out of it. With the front in the
// directory, its record there is marked read too.
held_message* pop_front(message_queue* q) {
  held_message* m = held_list_pop_front(&q->front);
  if (m == nullptr || !q->front_on_disk) return m;
  spool_skip(&q->disk, m->len);
  if (q->front.count == 0) q->front_on_disk = false;
  return m;
}

// Writes the whole front to a new oldest file of the directory, so that what
// a lost session gave back outlives a crash or a power cut in its place,
// before everything newer. The file that held the front before is read
// through (its records are in the front), and the rest of a file partly
// read is carried into the new one, so that after a restart nothing is read
// twice. Returns 0, or an errno value with the front kept in memory only.
// REQUIRES: the front's messages other than `fresh` of them at its head
// are those the directory's oldest file holds when q->front_on_disk.
int write_front(message_queue* q, uint32_t fresh) {
  if (q->front_on_disk) {
    uint32_t i = 0;
    for (held_message* m = q->front.head; m != nullptr; m = m->next, ++i) {
      if (i >= fresh) spool_skip(&q->disk, m->len);
    }
    q->front_on_disk = false;
  }
  const clock_pair now = clocks_now();
  const spool_segment* head = q->disk.head;
  if (head != nullptr && head->read_records != 0) {
    const uint64_t partly_read = head->seq;
    while (q->disk.head != nullptr && q->disk.head->seq == partly_read) {
      unsigned char* bytes = nullptr;
      uint32_t len = 0;
      uint32_t file_time = 0;
      uint32_t lost = 0;
      if (spool_pop(&q->disk, &bytes, &len, &file_time, &lost) != 1) break;
      held_list_push_back(&q->front, message_from_file(q, bytes, len, file_time, now));
    }
  }
  if (q->front.count == 0) return 0;
  const void** datas = static_cast<const void**>(ss_malloc(sizeof(void*) * q->front.count));
  uint32_t* lens = static_cast<uint32_t*>(ss_malloc(sizeof(uint32_t) * q->front.count));
  uint32_t* file_times = static_cast<uint32_t*>(ss_malloc(sizeof(uint32_t) * q->front.count));
  uint32_t i = 0;
  for (held_message* m = q->front.head; m != nullptr; m = m->next, ++i) {
    datas[i] = m->bytes;
    lens[i] = m->len;
    file_times[i] = file_time_of(m, now);
  }
  const int err = spool_prepend(&q->disk, datas, lens, file_times, q->front.count);
  free(datas);
  free(lens);
  free(file_times);
  if (err == 0) q->front_on_disk = true;
  return err;
}

}  // namespace

uint32_t queue_file_time(double taken, double now_mono, double now_wall) {
  const double wall = now_wall - (now_mono - taken);
  if (wall < 1) return 1;
  if (wall >= static_cast<double>(UINT32_MAX)) return UINT32_MAX;
  return static_cast<uint32_t>(wall + 0.5);  // to the nearest second
}

double queue_taken_time(uint32_t file_time, double opened, double now_mono, double now_wall) {
  if (file_time == 0) return opened;
  const double age = now_wall - static_cast<double>(file_time);
  return age > 0 ? now_mono - age : now_mono;
}

int queue_open(message_queue* q, uint64_t capacity, const char* dir) {
  q->capacity = capacity;
  q->opened = monotonic_seconds();
  q->memory_limit = capacity;
  if (dir == nullptr) return 0;
  const int rc = spool_open(&q->disk, dir, segment_target(capacity));
  if (rc != 0) return rc;
  q->has_spool = true;
  if (q->memory_limit > kMemoryFallbackBytes) q->memory_limit = kMemoryFallbackBytes;
  return 0;
}

bool queue_enabled(const message_queue* q) { return q->capacity != 0; }

bool queue_on_disk(const message_queue* q) { return q->has_spool; }

uint64_t queue_bound(const message_queue* q) {
  const bool disk_takes_it = q->has_spool && !q->disk_failing && q->memory.count == 0;
  if (disk_takes_it || q->capacity < q->memory_limit) return q->capacity;
  return q->memory_limit;
}

uint32_t queue_resume_slack(const message_queue* q) {
  uint64_t slack = q->capacity / 8;
  if (slack > q->memory_limit / 8) slack = q->memory_limit / 8;
  return static_cast<uint32_t>(slack > UINT32_MAX ? UINT32_MAX : slack);
}

bool queue_empty(const message_queue* q) { return queue_count(q) == 0; }

uint64_t queue_stored_bytes(const message_queue* q) {
  // A front in the directory is counted there.
  const uint64_t front = q->front_on_disk ? 0 : list_stored_bytes(&q->front);
  return front + list_stored_bytes(&q->memory) + (q->has_spool ? q->disk.stored_bytes : 0);
}

uint32_t queue_count(const message_queue* q) {
  const uint32_t front = q->front_on_disk ? 0 : q->front.count;
  return front + q->memory.count + (q->has_spool ? q->disk.stored_records : 0);
}

bool queue_full_for(const message_queue* q, uint32_t len) {
  const uint64_t record = queue_record_bytes(len);
  if (queue_stored_bytes(q) + record > q->capacity) return true;
  // In memory for want of a disk, the smaller bound holds as well.
  const bool to_memory = !q->has_spool || q->disk_failing || q->memory.count != 0;
  return to_memory && list_stored_bytes(&q->memory) + record > q->memory_limit;
}

void queue_push(message_queue* q, held_message* m, double now) {
  // Behind a message in memory, nothing may go to the disk: it would be
  // read back first.
  if (q->has_spool && q->memory.count == 0 && push_to_disk(q, m, now)) {
    held_message_free(m);
    return;
  }
  held_list_push_back(&q->memory, m);
}

void queue_push_front(message_queue* q, held_list* list, double now) {
  const uint32_t fresh = list->count;
  held_list_splice_front(&q->front, list);
  if (!q->has_spool || fresh == 0) return;
  const int err = write_front(q, fresh);
  // Kept in memory, as messages are while the disk fails; reported as the
  // disk's trouble episode.
  if (err != 0) report_disk_failure(q, err, now);
}

void queue_unpop(message_queue* q, held_message* m, double now) {
  held_list again{};
  held_list_push_back(&again, m);
  queue_push_front(q, &again, now);
}

held_message* queue_pop(message_queue* q, uint32_t* lost) {
  if (held_message* m = pop_front(q)) return m;
  while (q->has_spool && q->disk.stored_records != 0) {
    unsigned char* bytes = nullptr;
    uint32_t len = 0;
    uint32_t file_time = 0;
    uint32_t gone = 0;
    const int rc = spool_pop(&q->disk, &bytes, &len, &file_time, &gone);
    *lost += gone;
    if (rc == 1) return message_from_file(q, bytes, len, file_time, clocks_now());
    if (rc == 0) break;
    // rc -1: the head file was given up (its records counted); go on with
    // the next, unless the failure left it in place (out of memory).
    if (gone == 0) return nullptr;
  }
  return held_list_pop_front(&q->memory);
}

uint32_t queue_drop_oldest(message_queue* q) {
  if (held_message* m = pop_front(q)) {
    held_message_free(m);
    return 1;
  }
  if (q->has_spool && q->disk.stored_records != 0) {
    // While messages wait in memory for want of a disk, freeing disk space
    // does not make room for them: the memory part gives way instead.
    if (!(q->memory.count != 0 && list_stored_bytes(&q->memory) >= q->memory_limit)) {
      return spool_drop_oldest(&q->disk);
    }
  }
  if (held_message* m = held_list_pop_front(&q->memory)) {
    held_message_free(m);
    return 1;
  }
  return q->has_spool ? spool_drop_oldest(&q->disk) : 0;
}

bool queue_sync(message_queue* q) {
  if (!q->has_spool || !spool_needs_sync(&q->disk)) return false;
  const int err = spool_sync(&q->disk);
  if (err != 0) diag_err_errno(err, "queue directory %s not synced", q->disk.dir);
  return spool_needs_sync(&q->disk);
}

bool queue_needs_sync(const message_queue* q) { return q->has_spool && spool_needs_sync(&q->disk); }

void queue_close(message_queue* q) {
  held_list_free_all(&q->front);
  held_list_free_all(&q->memory);
  if (q->has_spool) spool_close(&q->disk);
  *q = message_queue{};
}

uint32_t queue_save_at_stop(message_queue* q, held_list* unfinished) {
  const uint32_t fresh = unfinished->count;
  held_list_splice_front(&q->front, unfinished);  // unfinished first, then the front
  if (!q->has_spool) {
    return held_list_free_all(&q->front) + held_list_free_all(&q->memory);
  }
  uint32_t unsaved = 0;
  // A front in the directory already, with nothing new before it, stays as
  // it is.
  if (fresh != 0 || !q->front_on_disk) {
    const int err = write_front(q, fresh);
    if (err != 0) {
      diag_err_errno(err, "queue directory %s: %u unacknowledged messages not saved", q->disk.dir,
                     static_cast<unsigned>(q->front.count));
      unsaved += q->front.count;
    }
  }
  held_list_free_all(&q->front);
  q->front_on_disk = false;
  uint32_t failed = 0;
  int last_err = 0;
  const clock_pair now = clocks_now();
  while (held_message* m = held_list_pop_front(&q->memory)) {
    const int err =
        failed == 0 ? spool_append(&q->disk, m->bytes, m->len, file_time_of(m, now)) : last_err;
    if (err != 0) {
      ++failed;
      last_err = err;
    }
    held_message_free(m);
  }
  if (failed != 0) {
    diag_err_errno(last_err, "queue directory %s: %u queued messages not saved", q->disk.dir,
                   static_cast<unsigned>(failed));
    unsaved += failed;
  }
  const int err = spool_sync(&q->disk);
  if (err != 0) diag_err_errno(err, "queue directory %s not synced", q->disk.dir);
  return unsaved;
}

bool queue_oldest_taken(message_queue* q, double* taken) {
  if (q->front.head != nullptr) {
    *taken = q->front.head->taken;
    return true;
  }
  uint32_t file_time = 0;
  if (q->has_spool && spool_peek_taken(&q->disk, &file_time)) {
    const clock_pair now = clocks_now();
    *taken = queue_taken_time(file_time, q->opened, now.mono, now.wall);
    return true;
  }
  if (q->memory.head != nullptr) {
    *taken = q->memory.head->taken;
    return true;
  }
  return false;
}
