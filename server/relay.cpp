#include "server/relay.h"

#include <inttypes.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>

#include <atomic>
#include <initializer_list>

#include "common/log.h"
#include "server/log_throttle.h"

namespace {

// An episode of messages the queue dropped for one reason: one WARNING line
// gives their number once none has come for kOverflowQuietSeconds, and at
// the latest after kOverflowReportSeconds.
struct drop_episode {
  void (*report)(uint32_t dropped);  // writes the WARNING line
  ev_timer timer;
  uint32_t dropped;
  double began;
  double last;
};

struct relay_state {
  struct ev_loop* loop;
  stream_server* stream;
  dgram_server* dgram;
  mqtt_session* session;
  message_queue queue;
  bool paused;  // back-pressure: neither socket is read

  ev_async wake;        // sent by relay_wake
  ev_timer sync_timer;  // runs while the queue directory has unsynced writes

  // Messages dropped for newer ones while the session was down, and
  // messages that expired in the queue.
  drop_episode overflow;
  drop_episode expiry;

  uint32_t message_expiry;  // seconds a message may wait; 0: for ever

  relay_report report;  // drops since the start, for the status

  bool stopping;  // an orderly stop: nothing more is read
};

relay_state relay{};
std::atomic<bool> relay_running{false};

// Messages given back by the session thread, taken over by the main thread
// before its next publish. `back_lock` guards `back`; `back_pending` says,
// without the lock, that there is something to take.
pthread_mutex_t back_lock = PTHREAD_MUTEX_INITIALIZER;
held_list back{};
std::atomic<bool> back_pending{false};

// Puts what the session gave back before everything queued.
void take_given_back() {
  if (!back_pending.load(std::memory_order_acquire)) return;
  pthread_mutex_lock(&back_lock);
  held_list given = back;
  back = held_list{};
  back_pending.store(false, std::memory_order_relaxed);
  pthread_mutex_unlock(&back_lock);
  queue_push_front(&relay.queue, &given, monotonic_seconds());
}

bool up() { return session_up(relay.session); }

water_level library_level() { return session_water_level(relay.session); }

void set_paused(bool paused) {
  relay.paused = paused;
  const held_publishes held = session_held(relay.session);
  diag_debug("%s local sockets: %u messages, %llu bytes held; %u queued\n",
             paused ? "pausing" : "resuming", static_cast<unsigned>(held.messages),
             static_cast<unsigned long long>(held.bytes),
             static_cast<unsigned>(queue_count(&relay.queue)));
  stream_server_pause(relay.stream, paused);
  // Once stopping, no datagram is read again.
  if (!relay.stopping) dgram_server_pause(relay.dgram, paused);
}

// Pauses or resumes both sockets. While the session is down nothing is held
// back: messages are queued (the oldest giving way) or, without a queue,
// dropped. While it is up, writers wait when the queue is full, or, without
// a queue, while the library holds its high-water mark.
void update_gate() {
  bool wanted = false;
  if (up()) {
    if (queue_enabled(&relay.queue)) {
      // Reading resumes once the queue has room for some more, so that a
      // full queue does not pause and resume the sockets per message.
      wanted = relay.paused ? queue_full_for(&relay.queue, queue_resume_slack(&relay.queue))
                            : queue_full_for(&relay.queue, 0);
    } else {
      const water_level level = library_level();
      wanted = !queue_empty(&relay.queue) ||
               (relay.paused ? level != kAtOrBelowLowWater : level == kAboveHighWater);
    }
  }
  if (wanted != relay.paused) set_paused(wanted);
}

void count_dropped(drop_episode* e, uint32_t dropped, double now);

// Expired messages dropped in one turn of the loop at most, so that a
// queue full of them does not hold up the loop; the next turn goes on.
constexpr uint32_t kExpiriesPerTurn = 1024;

// True when `m` has waited longer than the `messageexpiry` setting allows
// (then it is freed and counted), as of `now`.
bool drop_if_expired(held_message* m, double now) {
  if (relay.message_expiry == 0 || !(now - m->taken > relay.message_expiry)) return false;
  count_dropped(&relay.expiry, 1, now);
  ++relay.report.expired;
  held_message_free(m);
  return true;
}

// Hands queued messages to the session, oldest first, while it is up and
// the library takes more. Messages that have expired are dropped in their
// turn.
void drain() {
  take_given_back();
  uint32_t expired = 0;
  while (!queue_empty(&relay.queue) && up() && library_level() != kAboveHighWater) {
    uint32_t lost = 0;
    held_message* m = queue_pop(&relay.queue, &lost);
    relay.report.unreadable += lost;
    if (m == nullptr) break;
    if (relay.message_expiry != 0 && drop_if_expired(m, monotonic_seconds())) {
      if (++expired == kExpiriesPerTurn) {
        relay_wake();
        break;
      }
      continue;
    }
    if (session_publish(relay.session, m, nullptr, 0) == kPublishSessionDown) {
      queue_unpop(&relay.queue, m, monotonic_seconds());
      break;
    }
  }
}

void start_sync_timer() {
  if (ev_is_active(&relay.sync_timer) || !queue_needs_sync(&relay.queue)) return;
  ev_timer_set(&relay.sync_timer, kSyncSeconds, 0.);
  ev_timer_start(relay.loop, &relay.sync_timer);
}

void sync_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  queue_sync(&relay.queue);
  // Writes since this sync wait for the next round, a second from now.
  start_sync_timer();
}

void report_overflow(uint32_t dropped) {
  diag_warn("queue full while the session was down: %u oldest messages dropped for newer ones\n",
            static_cast<unsigned>(dropped));
}

void report_expiry(uint32_t dropped) {
  diag_warn("%u messages expired in the queue\n", static_cast<unsigned>(dropped));
}

void report_episode(drop_episode* e) {
  if (e->dropped == 0) return;
  e->report(e->dropped);
  e->dropped = 0;
  ev_timer_stop(relay.loop, &e->timer);
}

void episode_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)revents;
  drop_episode* e = static_cast<drop_episode*>(w->data);
  const double now = monotonic_seconds();
  if (now - e->last >= kOverflowQuietSeconds || now - e->began >= kOverflowReportSeconds) {
    report_episode(e);
  }
}

void count_dropped(drop_episode* e, uint32_t dropped, double now) {
  if (e->dropped == 0) {
    e->began = now;
    ev_timer_set(&e->timer, kOverflowQuietSeconds, kOverflowQuietSeconds);
    ev_timer_start(relay.loop, &e->timer);
  }
  e->dropped += dropped;
  e->last = now;
}

void refuse(message_verdict* verdict, const char* reason) {
  if (verdict == nullptr) return;
  verdict->accepted = false;
  snprintf(verdict->reason, sizeof verdict->reason, "%s", reason);
}

// Queues `m`, which could not be handed to the session now.
void enqueue(held_message* m, message_verdict* verdict, bool up) {
  message_queue* q = &relay.queue;
  const uint64_t record = queue_record_bytes(m->len);
  const uint64_t bound = queue_bound(q);
  if (record > bound) {
    ++relay.report.larger_than_queue;
    diag_err("message of %u bytes larger than the whole queue (%llu KiB), dropped\n",
             static_cast<unsigned>(m->len), static_cast<unsigned long long>(bound / 1024));
    if (verdict != nullptr) {
      verdict->accepted = false;
      snprintf(verdict->reason, sizeof verdict->reason,
               "message of %u bytes larger than the whole queue (%llu KiB)",
               static_cast<unsigned>(m->len), static_cast<unsigned long long>(bound / 1024));
    }
    held_message_free(m);
    return;
  }
  const double now = monotonic_seconds();
  // While the session is down the oldest give way; while it is up the
  // sockets are paused once the queue is full, so at most what one read
  // turn completes goes over.
  if (!up) {
    while (queue_full_for(q, m->len)) {
      const uint32_t dropped = queue_drop_oldest(q);
      if (dropped == 0) break;
      count_dropped(&relay.overflow, dropped, now);
      relay.report.queue_full += dropped;
    }
  }
  queue_push(q, m, now);
  if (verdict != nullptr) verdict->accepted = true;
  start_sync_timer();
}

// The one decision for every local message: to the session, to the queue,
// or dropped.
void offer(held_message* m, message_verdict* verdict, std::atomic<unsigned>* dropped) {
  take_given_back();
  // The session's state is read once; session_publish checks it again under
  // the lock that a lost session takes.
  bool is_up = up();
  const bool library_takes_more = library_level() != kAboveHighWater;
  const bool in_turn = queue_empty(&relay.queue);
  const bool has_queue = queue_enabled(&relay.queue);
  // Without a queue a message is published while the session is up even
  // above the high-water mark, as a paused socket may still complete one.
  if (is_up && in_turn && (library_takes_more || !has_queue)) {
    message_verdict refusal{};
    switch (session_publish(relay.session, m, refusal.reason, sizeof refusal.reason)) {
      case kPublishTaken:
        if (verdict != nullptr) verdict->accepted = true;
        return;
      case kPublishRefused:
        if (verdict != nullptr) *verdict = refusal;
        return;
      case kPublishSessionDown:
        is_up = false;
        break;
    }
  }
  if (has_queue) {
    enqueue(m, verdict, is_up);
    return;
  }
  if (is_up && !in_turn) {
    // Without a queue, messages wait only behind those a lost session gave
    // back, so that the order holds; the gate keeps that short.
    queue_push(&relay.queue, m, monotonic_seconds());
    if (verdict != nullptr) verdict->accepted = true;
    return;
  }
  dropped->fetch_add(1, std::memory_order_relaxed);
  ++relay.report.session_down;
  refuse(verdict, "dropped: the broker session is down and no queue is set");
  held_message_free(m);
}

void after_message() {
  drain();
  update_gate();
}

void wake_cb(struct ev_loop* loop, ev_async* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  after_message();
}

held_message* message_from_buffer(byte_buffer* buf) {
  held_message* m = held_message_adopt(buf->bytes, buf->length);
  buf->bytes = nullptr;
  buf->length = 0;
  buf->capacity = 0;
  buf->start = 0;
  return m;
}

}  // namespace

void relay_set_message_expiry(uint32_t seconds) { relay.message_expiry = seconds; }

int relay_open_queue(uint32_t capacity_kib, const char* dir) {
  return queue_open(&relay.queue, uint64_t{capacity_kib} * 1024, dir);
}

void relay_start(struct ev_loop* loop, stream_server* stream, dgram_server* dgram,
                 mqtt_session* session) {
  relay.loop = loop;
  relay.stream = stream;
  relay.dgram = dgram;
  relay.session = session;
  relay.paused = false;
  ev_init(&relay.sync_timer, sync_cb);
  for (drop_episode* e : {&relay.overflow, &relay.expiry}) {
    ev_init(&e->timer, episode_cb);
    e->timer.data = e;
  }
  relay.overflow.report = report_overflow;
  relay.expiry.report = report_expiry;
  ev_async_init(&relay.wake, wake_cb);
  // Counted as an active watcher: while both sockets are paused it is what
  // keeps the loop running.
  ev_async_start(loop, &relay.wake);
  relay_running.store(true, std::memory_order_release);
  // Messages found in the queue directory go out first, once a session is up.
  after_message();
}

void relay_close() noexcept {
  relay_running.store(false, std::memory_order_release);
  if (relay.loop != nullptr) {
    ev_async_stop(relay.loop, &relay.wake);
    ev_timer_stop(relay.loop, &relay.sync_timer);
    ev_timer_stop(relay.loop, &relay.overflow.timer);
    ev_timer_stop(relay.loop, &relay.expiry.timer);
  }
  take_given_back();
  queue_close(&relay.queue);
  relay = relay_state{};
}

message_queue* relay_queue() noexcept { return &relay.queue; }

relay_report relay_report_now() noexcept { return relay.report; }

void relay_stream_message(void* arg, byte_buffer* buf, message_verdict* verdict) noexcept {
  (void)arg;
  offer(message_from_buffer(buf), verdict, &relay.session->dropped_stream_messages);
  after_message();
}

void relay_datagram(void* arg, const void* data, int len) noexcept {
  (void)arg;
  offer(held_message_copy(data, len > 0 ? static_cast<uint32_t>(len) : 0), nullptr,
        &relay.session->dropped_datagrams);
  after_message();
}

void relay_wake() noexcept {
  if (!relay_running.load(std::memory_order_acquire)) return;
  ev_async_send(relay.loop, &relay.wake);
}

void relay_give_back(held_list* messages) noexcept {
  pthread_mutex_lock(&back_lock);
  // Anything given back earlier and not yet taken was published first.
  held_list_splice_front(messages, &back);
  back = *messages;
  *messages = held_list{};
  back_pending.store(true, std::memory_order_release);
  pthread_mutex_unlock(&back_lock);
  relay_wake();
}

void relay_stop_reading() noexcept {
  if (relay.stopping) return;
  relay.stopping = true;
  stream_server_stop_accepting(relay.stream);
  dgram_server_pause(relay.dgram, true);
}

bool relay_stop_done() noexcept {
  if (relay.stream->client_count != 0) return false;
  if (queue_on_disk(&relay.queue)) return true;
  take_given_back();
  return queue_empty(&relay.queue) && session_held(relay.session).messages == 0;
}

void relay_finish_stop(double stop_seconds) noexcept {
  held_list unfinished{};
  const uint32_t held = session_stop(relay.session, &unfinished);
  // Publishes without a copy (none are made by the relay) cannot be saved.
  const uint32_t uncopied = held - unfinished.count;
  take_given_back();
  const uint32_t open_connections = relay.stream->client_count;
  if (queue_on_disk(&relay.queue)) {
    const uint32_t saving = unfinished.count + queue_count(&relay.queue);
    const uint32_t unsaved = queue_save_at_stop(&relay.queue, &unfinished);
    diag_debug("stopping: %u messages kept in the queue directory\n",
               static_cast<unsigned>(saving - unsaved));
    if (uncopied != 0) {
      diag_warn("stopping: %u messages not acknowledged by the broker, lost\n",
                static_cast<unsigned>(uncopied));
    }
  } else {
    const uint32_t lost = queue_save_at_stop(&relay.queue, &unfinished) + uncopied;
    if (lost != 0) {
      diag_warn("stopping: %u messages not sent to the broker within %.0f s, lost\n",
                static_cast<unsigned>(lost), stop_seconds);
    }
  }
  if (open_connections != 0) {
    diag_warn("stopping: %u stream connections still open, closed without a verdict\n",
              static_cast<unsigned>(open_connections));
  }
  // The connection ends without DISCONNECT, so that the broker publishes the
  // will: the device is going away.
  session_drop_connection(relay.session);
}
