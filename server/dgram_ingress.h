// Local datagram ingress: a Unix-domain datagram socket at the `unixudpsock`
// path; every datagram received there is handed whole, at once, to the
// context's publish callback as one message.
//
// Thread: main thread, inside the libev loop.
#ifndef QUORREL_SERVER_DGRAM_INGRESS_H_
#define QUORREL_SERVER_DGRAM_INGRESS_H_

#include <ev.h>
#include <stddef.h>

#include "server/ingress.h"

// The datagram socket's context: io's callback is udp_recv_cb, fd the bound
// datagram socket, and publish is called once per non-empty datagram. The
// owner zero-initialises the record, fills the socket_context fields and keeps
// it alive while the watcher runs.
struct dgram_server : socket_context {
  // Reusable receive area, owned by the record: allocated by the first
  // udp_recv_cb at dgram_area_size() bytes, grown when a datagram did not fit,
  // freed by release_dgram_server. Null until then.
  unsigned char* area;
  size_t area_size;
};

// Removes any stale entry at `path` and returns a datagram socket bound there
// (close-on-exec; the caller owns it), as bind_unix_socket binds it. Does not
// return on failure: after its ERR lines the process ends with status 255.
int create_udpserver(const char* path);

// Opens the datagram socket at `path` and starts receiving on `loop`: bound
// as create_udpserver binds it, non-blocking, watched by udp_recv_cb; every
// datagram goes to publish(publish_arg, ...). The socket stays open for the
// life of the process. Returns 0, or -1 after ERR lines with nothing opened
// or watched.
// REQUIRES: `server` zero-initialised and alive while the watcher runs.
int dgram_server_open(dgram_server* server, struct ev_loop* loop, const char* path,
                      void* publish_arg, publish_fn publish);

// Datagrams received per readiness report at most; more waiting are taken on
// the loop's next pass, in turn with the other watchers.
constexpr int kDatagramsPerTurn = 32;

// libev callback on dgram_server::io: receives up to kDatagramsPerTurn
// datagrams, stopping when none is left or publish paused the socket
// (dgram_server_pause), and hands each whole to publish. Empty datagrams and
// receive errors are ignored silently; a datagram larger than the receive area is dropped with an
// ERR line (never published cut) and the area is grown to take the next one.
void udp_recv_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept;

// Size of a fresh receive area: twice net.core.wmem_max (the largest send
// buffer, hence datagram, an unprivileged sender can have), at least 256 KiB
// and at most 8 MiB.
size_t dgram_area_size();

// Back-pressure: with `paused`, stops receiving, so that senders wait (or see
// EAGAIN) as on a full pipe; without, receives again. Main thread.
void dgram_server_pause(dgram_server* server, bool paused);

// Frees the receive area; the rest of the record is left alone.
void release_dgram_server(dgram_server* server);

#endif  // QUORREL_SERVER_DGRAM_INGRESS_H_
