// What the two local ingress paths (stream_ingress, dgram_ingress) share: the
// callbacks that take their messages, the leading part of their socket
// contexts, binding their sockets, and non-blocking descriptors.
//
// Thread: main thread, inside the libev loop.
#ifndef QUORREL_SERVER_INGRESS_H_
#define QUORREL_SERVER_INGRESS_H_

#include <ev.h>

#include "common/verdict.h"
#include "server/container_of.h"

// Delivers one message: the datagram path's callback. `publish_arg` is the
// context's opaque handle; `data[0 .. len)` is valid only during the call, so
// a callee that keeps the bytes copies them. Called on the main thread.
typedef void (*publish_fn)(void* publish_arg, const void* data, int len);

// Takes one completed stream message in `buf`, and may take over its
// storage (leaving `buf` empty); says what became of it in `*verdict`
// (common/verdict.h), which the caller zero-initialises and writes back to a
// writer that asked for it. `publish_arg` is the context's opaque handle.
// Called on the main thread, once per stream message.
typedef void (*take_fn)(void* publish_arg, struct byte_buffer* buf, message_verdict* verdict);

// The first fields of both socket contexts, in this order. A context's read
// callback is given &io and reaches the rest through context_of. The owner
// zero-initialises the context and keeps it alive while the watcher runs.
struct socket_context {
  struct ev_loop* loop;  // loop the watcher runs on
  ev_io io;              // read readiness on fd
  int fd;                // the context's socket (not owned)
  void* publish_arg;     // handed back as the callback's first argument
  publish_fn publish;    // called once per datagram; null for the stream
                         // listener, whose messages go to stream_server::take
};

// The context of type `Context` whose io watcher is `w`.
// REQUIRES: `w` is the io of a live Context.
template <typename Context>
Context* context_of(ev_io* w) {
  return static_cast<Context*>(container_of(w, socket_context, io));
}

// libev read callback of a socket context's io watcher.
typedef void (*socket_read_cb)(struct ev_loop* loop, ev_io* w, int revents);

// Removes any stale entry at `path` and returns a Unix-domain socket of
// `type` (SOCK_STREAM or SOCK_DGRAM) bound there, close-on-exec, not yet
// listening; the caller owns it. Returns -1 after ERR lines, with nothing
// left open: "<path> socket name too long" (naming at most 255 characters of
// the path) when it is 108 characters or longer, else `not_created` when the
// socket cannot be created, or `not_bound` and the cause when it cannot be
// bound. The two texts are the socket type's own, each a whole line's text.
int bind_unix_socket(const char* path, int type, const char* not_created, const char* not_bound);

// Makes the bound socket `fd` non-blocking, fills the socket_context fields of
// `context` and starts its io watcher on `loop` with `cb`. Returns 0, or -1
// after an ERR line, with nothing started, when `fd` cannot be made
// non-blocking; `fd` stays the caller's either way.
int socket_context_start(socket_context* context, struct ev_loop* loop, int fd, socket_read_cb cb,
                         void* publish_arg, publish_fn publish);

// Adds O_NONBLOCK to fd's status flags (O_NONBLOCK alone when they cannot be
// read). Returns fcntl's result: 0, or -1 on failure.
int setnonblocking(int fd);

#endif  // QUORREL_SERVER_INGRESS_H_
