#include "server/ingress_gate.h"

#include <atomic>

#include "common/log.h"
#include "server/mqtt_session.h"
#include "server/publish_count.h"

namespace {

struct gate_state {
  struct ev_loop* loop;
  stream_server* stream;
  dgram_server* dgram;
  ev_async wake;  // sent by ingress_gate_wake; its callback updates the gate
  bool paused;
};

gate_state gate{};
// Set once the wake watcher runs, so that earlier wakes are dropped rather
// than sent to a watcher that does not exist yet.
std::atomic<bool> gate_open{false};

void wake_cb(struct ev_loop* loop, ev_async* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  ingress_gate_update();
}

void set_paused(bool paused) {
  gate.paused = paused;
  const held_publishes held = publishes_held();
  diag_debug("%s local sockets: %u messages, %llu bytes held\n",
             paused ? "pausing" : "resuming", static_cast<unsigned>(held.messages),
             static_cast<unsigned long long>(held.bytes));
  stream_server_pause(gate.stream, paused);
  dgram_server_pause(gate.dgram, paused);
}

// One local path's publish: a message dropped for a down session is counted
// in `dropped`, and the gate follows what the library now holds.
void publish_counting_drops(void* arg, const void* payload, int payloadlen,
                            std::atomic<unsigned>* dropped) {
  if (!publish_local(arg, payload, payloadlen)) dropped->fetch_add(1, std::memory_order_relaxed);
  ingress_gate_update();
}

}  // namespace

void ingress_gate_open(struct ev_loop* loop, stream_server* stream, dgram_server* dgram) {
  gate.loop = loop;
  gate.stream = stream;
  gate.dgram = dgram;
  gate.paused = false;
  ev_async_init(&gate.wake, wake_cb);
  // Counted as an active watcher: while both sockets are paused it is what
  // keeps the loop running.
  ev_async_start(loop, &gate.wake);
  gate_open.store(true, std::memory_order_release);
}

void ingress_gate_update() noexcept {
  if (!gate_open.load(std::memory_order_acquire)) return;
  const bool session_up = isconnect.load(std::memory_order_relaxed) != 0;
  const water_level level = publish_water_level();
  const bool wanted = session_up && (gate.paused ? level != kAtOrBelowLowWater
                                                 : level == kAboveHighWater);
  if (wanted != gate.paused) set_paused(wanted);
}

void ingress_gate_wake() noexcept {
  if (!gate_open.load(std::memory_order_acquire)) return;
  ev_async_send(gate.loop, &gate.wake);
}

void publish_datagram(void* arg, const void* payload, int payloadlen) noexcept {
  publish_counting_drops(arg, payload, payloadlen, &dropped_datagrams);
}

void publish_stream_message(void* arg, const void* payload, int payloadlen) noexcept {
  publish_counting_drops(arg, payload, payloadlen, &dropped_stream_messages);
}
