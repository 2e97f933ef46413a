// Back-pressure between the MQTT library and the local sockets: while the
// library holds more than the high-water mark of unsent local messages
// (publish_count) and the session is up, neither local socket is read, so
// that writers wait as on a full pipe and the daemon's memory stays bounded
// whatever the broker does. Reading resumes at the low-water mark, and at
// once when the session drops (local data is then dropped, as always while
// it is down). Also the publish entry of each local path, which counts what
// is dropped while the session is down.
//
// Thread: ingress_gate_open, ingress_gate_update and the publish entries on
// the main thread; ingress_gate_wake on any thread.
#ifndef QUORREL_SERVER_INGRESS_GATE_H_
#define QUORREL_SERVER_INGRESS_GATE_H_

#include <ev.h>

#include "server/dgram_ingress.h"
#include "server/stream_ingress.h"

// Starts gating `stream` and `dgram` (both opened, alive while `loop` runs),
// with a wake-up watcher on `loop`. Once only, before the loop runs.
void ingress_gate_open(struct ev_loop* loop, stream_server* stream, dgram_server* dgram);

// Pauses or resumes both sockets as the holdings and the session require.
// Main thread; does nothing before ingress_gate_open.
void ingress_gate_update() noexcept;

// Has the main thread run ingress_gate_update soon: for the session thread,
// when the holdings fell to the low-water mark or the session went up or
// down. Safe from any thread, and before ingress_gate_open (then a no-op).
void ingress_gate_wake() noexcept;

// The publish_fn of the datagram and of the stream path: publish_msg, then
// counting a message dropped while the session is down
// (dropped_datagrams / dropped_stream_messages) and updating the gate.
// `arg` is the struct mosquitto handle.
void publish_datagram(void* arg, const void* payload, int payloadlen) noexcept;
void publish_stream_message(void* arg, const void* payload, int payloadlen) noexcept;

#endif  // QUORREL_SERVER_INGRESS_GATE_H_
