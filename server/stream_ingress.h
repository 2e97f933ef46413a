// Local stream ingress: a Unix-domain stream listener at the `unixsock` path.
// One connection carries one message: every byte its writer sends until it
// ends the stream, unframed. At end of stream the whole content is handed to
// the listener's take callback, which may take over its storage; a writer
// that asked for a verdict (common/verdict.h) is then told what became of
// its message, and one refused as too long is told at once. Nothing else is
// ever written back.
//
// Thread: main thread, inside the libev loop.
#ifndef QUORREL_SERVER_STREAM_INGRESS_H_
#define QUORREL_SERVER_STREAM_INGRESS_H_

#include <ev.h>
#include <stdint.h>

#include "server/byte_buffer.h"
#include "server/ingress.h"

// The limit when the owner sets none: MQTT's largest remaining length, which
// no payload can reach. A connection whose content grows past the limit is
// dropped.
constexpr uint32_t kMaxStreamMessage = 268435455;

// How long accepting pauses when descriptors or memory run out.
constexpr ev_tstamp kAcceptPauseSeconds = 0.5;

// Free room kept for each read of a connection (and, at debug above 6, the
// most one read takes), and reads per readiness report at most: a
// connection with more waiting is served again on the loop's next pass, in
// turn with the other watchers.
constexpr uint32_t kReadChunk = 2048;
constexpr int kReadChunksPerTurn = 16;

// The most bytes all incomplete stream messages may hold together. Beyond
// it only the connection that holds the most is read, until its message is
// complete, and the other writers wait: so one message can always finish
// (a single message may exceed the bound, up to the message limit), no
// connection is dropped for it, and a few large concurrent writers cannot
// exhaust a 64 MB device, where the MQTT library's copy of a finished
// message and the daemon's own need as much again.
constexpr uint64_t kMaxBufferedStreamBytes = 16 * 1024 * 1024;

// After this many connections were open at once, memory is handed back to
// the system once a quarter of them are left and again once none is, so
// that a storm of connections does not leave the daemon large.
constexpr unsigned kTrimAfterConnections = 64;
constexpr ev_tstamp kTrimDelaySeconds = 0.5;

// Descriptors kept free for the daemon's own needs: reconnecting to the
// broker takes a socket, and name resolution and TLS open a few files while
// it does. Once an accepted connection leaves fewer than this many below the
// descriptor limit, the listener waits until connections end.
constexpr int kFdReserve = 8;

struct stream_client;

// The listening socket's context: loop serves the listener and every
// connection, io's callback is accept_cb, fd the listening socket, publish
// stays null, and take is called once per connection that ends its stream.
// The owner zero-initialises the record, has stream_server_open fill the
// socket_context fields and take, and keeps it alive while the loop runs.
struct stream_server : socket_context {
  // Started instead of io while accept lacks descriptors or memory; set up
  // by accept_cb when needed, with its data pointing back at this record.
  ev_timer accept_pause;
  // Message size limit in bytes; 0 means kMaxStreamMessage. The daemon sets
  // the longest payload it can publish (publish_payload_limit) before
  // stream_server_open, which leaves it as it is.
  uint32_t max_message;
  // Descriptors kept free beyond kFdReserve (the queue's files); set by the
  // owner before stream_server_open.
  int extra_fd_reserve;
  // Bytes held by the incomplete messages of all connections, and the one
  // connection read alone while they exceed kMaxBufferedStreamBytes (null
  // while they do not).
  uint64_t buffered_bytes;
  struct stream_client* focus;
  // Most connections open at once since none was last open, and the
  // hand-back of memory kTrimDelaySeconds after a storm's last connection.
  unsigned peak_clients;
  ev_timer trim_later;
  // Live connections, most recently accepted first (stream_client::next),
  // and their number.
  stream_client* clients;
  unsigned client_count;
  // Takes each completed message and says what became of it, for writers
  // that asked for a verdict; set by stream_server_open.
  take_fn take;
  // Writes the daemon's status (common/status_query.h) into `out` (`size`
  // bytes) and returns its length, for a connection that asks for it; set
  // by the owner. Null: such a connection is read as a message.
  size_t (*status)(char* out, size_t size);
  // Messages refused since the start for being longer than max_message.
  uint64_t refused_too_long;
  // Back-pressure (stream_server_pause): neither the listener nor any
  // connection is read.
  bool reading_paused;
  // An orderly stop: no new connection is accepted.
  bool accepting_stopped;
  // The listener waits for the descriptor reserve: set by accept_cb, cleared
  // when a connection ends.
  bool at_fd_reserve;
  // The WARNING of the current descriptor-reserve episode has been written,
  // when client_count was clients_at_reserve.
  bool fd_reserve_warned;
  unsigned clients_at_reserve;
};

// One accepted connection, from accept_cb until close_and_free_client, which
// alone releases it, its buffer's storage and its socket: one allocation
// holds the record with its watcher and buffer.
struct stream_client {
  int fd;                 // the connection (owned)
  byte_buffer buffer;     // bytes collected so far (storage owned)
  ev_io watcher;          // read readiness on fd; callback recv_cb
  stream_server* server;  // the listener that accepted it (not owned)
  stream_client* prev;    // neighbours in server->clients
  stream_client* next;
  bool wants_verdict;  // the writer asked for a verdict (common/verdict.h)
  uint32_t counted;    // of buffer.length, what server->buffered_bytes holds
};

// Removes any stale entry at `path` and returns a stream socket bound there,
// not yet listening, close-on-exec; the caller owns it. Returns -1 after
// bind_unix_socket's ERR lines when the path is 108 characters or longer or
// the socket cannot be created or bound.
int create_and_bind(const char* path);

// Opens the listener at `path` and starts accepting on `loop`: bound,
// listening with a backlog of 10, non-blocking, watched by accept_cb; every
// message goes to take(publish_arg, ...), whose verdict is written back to a
// writer that asked for one. The listening socket stays open for the life of
// the process. Returns 0, or -1 after ERR lines with nothing opened or
// watched.
// REQUIRES: `server` zero-initialised (max_message and extra_fd_reserve
// aside) and alive while the loop runs; `take` not null.
int stream_server_open(stream_server* server, struct ev_loop* loop, const char* path,
                       void* publish_arg, take_fn take);

// libev callback on stream_server::io: accepts one connection and starts
// collecting it; a connection that asks for the status (with `status` set)
// gets the answer at once and is closed, nothing read from it. When descriptors or memory run out,
// stops the listener for kAcceptPauseSeconds instead of spinning; other failures are logged only.
// While a new connection would leave fewer than kFdReserve descriptors below
// the limit, it is not accepted: the listener waits until a connection ends,
// with one WARNING line per episode (an episode ends once kFdReserve
// connections have ended).
void accept_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept;

// libev callback on stream_client::watcher: up to kReadChunksPerTurn reads into
// the connection's buffer (kReadChunk bytes each at debug above 6), until the
// socket has nothing more. At end of stream hands everything collected to the
// listener's take, answers a writer that asked for a verdict, and frees the
// connection; on a receive error frees it without handing anything on, and on
// an over-long message too, after the refusal's verdict. Once
// all connections together hold more than kMaxBufferedStreamBytes, only the
// one that holds the most is read until its message is complete.
void recv_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept;

// Stops the connection's watcher on `loop`, closes its socket and frees its
// record with its buffer. `client` must not be used afterwards. Null is
// ignored. A listener waiting for the descriptor reserve accepts again.
void close_and_free_client(struct ev_loop* loop, stream_client* client);

// Back-pressure: with `paused`, stops the listener and every connection's
// watcher, so that writers wait as on a full pipe; without, starts them
// again (the listener only when nothing else holds it back). Main thread.
void stream_server_pause(stream_server* server, bool paused);

// An orderly stop: closes nothing, but accepts no further connection; the
// open ones are still read. Main thread.
void stream_server_stop_accepting(stream_server* server);

// Writes the DEBUG hex dump of `buf`'s whole content, without the log prefix.
// The caller checks the threshold.
void dump_stream_buffer(const byte_buffer* buf);

#endif  // QUORREL_SERVER_STREAM_INGRESS_H_
