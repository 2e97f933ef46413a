#include "server/stream_ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <limits.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/log.h"
#include "common/status_query.h"
#include "common/verdict.h"
#include "server/alloc.h"
#include "server/heap.h"

namespace {

// Failures that another accept would repeat at once until descriptors or
// memory are freed elsewhere.
bool accept_should_pause(int err) {
  return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

// Starts or stops the listener: it accepts unless back-pressure, the
// descriptor reserve or an accept pause holds it back.
void update_listener(stream_server* server) {
  // While one connection is read alone, new writers wait in the backlog.
  const bool wanted = !server->reading_paused && !server->at_fd_reserve &&
                      !server->accepting_stopped && server->focus == nullptr &&
                      !ev_is_active(&server->accept_pause);
  if (wanted) {
    ev_io_start(server->loop, &server->io);
  } else {
    ev_io_stop(server->loop, &server->io);
  }
}

// Starts the watcher of every connection that may be read now and stops the
// others: none while back-pressure holds, only the focus while one
// connection is read alone.
void apply_reading(stream_server* server) {
  for (stream_client* client = server->clients; client != nullptr; client = client->next) {
    if (!server->reading_paused && (server->focus == nullptr || server->focus == client)) {
      ev_io_start(server->loop, &client->watcher);
    } else {
      ev_io_stop(server->loop, &client->watcher);
    }
  }
  update_listener(server);
}

// Keeps what incomplete messages hold within kMaxBufferedStreamBytes: beyond
// it the connection holding the most is read alone until its message ends,
// as it is closer to finishing than any other and frees the most when it
// does; below it everyone is read again.
void update_focus(stream_server* server) {
  stream_client* wanted = nullptr;
  if (server->buffered_bytes > kMaxBufferedStreamBytes) {
    if (server->focus != nullptr) return;
    for (stream_client* client = server->clients; client != nullptr; client = client->next) {
      if (wanted == nullptr || client->counted > wanted->counted) wanted = client;
    }
  }
  if (wanted == server->focus) return;
  server->focus = wanted;
  if (wanted != nullptr) {
    diag_debug("%llu bytes buffered in stream messages: reading fd %d alone\n",
               static_cast<unsigned long long>(server->buffered_bytes), wanted->fd);
  }
  apply_reading(server);
}

void trim_later_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)w;
  (void)revents;
  heap_release_free();
}

void accept_resume_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)loop;
  (void)revents;
  stream_server* server = static_cast<stream_server*>(w->data);
  diag_debug("accepting again on socket %d\n", server->fd);
  update_listener(server);
}

// Stops the listener for kAcceptPauseSeconds, after which accept_resume_cb
// starts it again (when nothing else holds it back).
void pause_accepting(stream_server* server) {
  ev_timer_init(&server->accept_pause, accept_resume_cb, kAcceptPauseSeconds, 0.);
  server->accept_pause.data = server;
  ev_timer_start(server->loop, &server->accept_pause);
  update_listener(server);
}

// The soft limit on descriptors, INT_MAX when there is none.
int descriptor_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > static_cast<rlim_t>(INT_MAX)) {
    return INT_MAX;
  }
  return static_cast<int>(limit.rlim_cur);
}

// True when a connection accepted now leaves kFdReserve descriptors free
// below the limit. Otherwise holds the listener back until a connection ends
// (or, with none to end, for kAcceptPauseSeconds), with the episode's WARNING.
// The kernel hands out the lowest free descriptor, so a duplicate of the
// listener shows which one the connection would get.
bool accept_keeps_reserve(stream_server* server) {
  const int limit = descriptor_limit();
  int probe;
  do {
    probe = fcntl(server->fd, F_DUPFD_CLOEXEC, 0);
  } while (probe < 0 && errno == EINTR);
  // Out of descriptors already: accept reports it and pauses.
  if (probe < 0) return true;
  close(probe);
  if (probe < limit - kFdReserve - server->extra_fd_reserve) return true;
  if (server->clients != nullptr) {
    server->at_fd_reserve = true;
    update_listener(server);
  } else {
    pause_accepting(server);
  }
  if (!server->fd_reserve_warned) {
    server->fd_reserve_warned = true;
    server->clients_at_reserve = server->client_count;
    diag_warn("only %d of %d descriptors left: stream connections wait until others end\n",
              limit - probe, limit);
  }
  return false;
}

}  // namespace

int create_and_bind(const char* path) {
  return bind_unix_socket(path, SOCK_STREAM, "Create tcp socket failed",
                          "Could not bind control socket");
}

int stream_server_open(stream_server* server, struct ev_loop* loop, const char* path,
                       void* publish_arg, take_fn take) {
  const int fd = create_and_bind(path);
  if (fd == -1) {
    diag_err("tcp bind error\n");
    return -1;
  }
  if (listen(fd, 10) == -1) {
    const int err = errno;
    diag_err_errno(err, "tcp listen failed");
    close(fd);
    return -1;
  }
  // Datagrams alone go through publish: a stream message may be taken over
  // whole, and its writer may wait for a verdict.
  server->take = take;
  if (socket_context_start(server, loop, fd, accept_cb, publish_arg, nullptr) != 0) {
    close(fd);
    return -1;
  }
  diag_debug("tcp listen %s\n", path);
  return 0;
}

namespace {

// Writes the status to the asker on `fd` and closes it. The answer is
// small beside a socket's buffer, so one send without waiting takes it
// whole; an asker already gone, or one whose buffer is full, gets what
// fits, which it then tells from a whole answer.
void answer_status(stream_server* server, int fd) {
  char answer[kStatusAnswerMax];
  const size_t len = server->status(answer, sizeof answer);
  ssize_t n;
  do {
    n = send(fd, answer, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  close(fd);
}

}  // namespace

void accept_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept {
  (void)loop;
  (void)revents;
  stream_server* server = context_of<stream_server>(w);
  if (!accept_keeps_reserve(server)) return;
  unsigned char peer[128] = {0};
  socklen_t peer_len = sizeof peer;
  int fd;
  do {
    // Non-blocking and close-on-exec from the start: scripts run by the
    // session thread must not inherit local connections.
    fd = accept4(server->fd, reinterpret_cast<struct sockaddr*>(peer), &peer_len,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int err = errno;
    diag_err_errno(err, "accept failed");
    if (accept_should_pause(err)) {
      // The pending connection would make the loop report readiness again at
      // once; rest the listener so existing connections can finish and free
      // what they hold.
      pause_accepting(server);
    }
    return;
  }
  diag_debug("Accepted connection on socket %d\n", server->fd);
  if (server->status != nullptr && status_requested(peer, peer_len)) {
    answer_status(server, fd);
    return;
  }

  stream_client* client = static_cast<stream_client*>(ss_malloc(sizeof(stream_client)));
  client->fd = fd;
  balloc(&client->buffer, 2048);
  ev_io_init(&client->watcher, recv_cb, fd, EV_READ);
  client->server = server;
  client->wants_verdict = verdict_requested(peer, peer_len);
  client->prev = nullptr;
  client->next = server->clients;
  if (server->clients != nullptr) server->clients->prev = client;
  server->clients = client;
  ++server->client_count;
  if (server->client_count > server->peak_clients) server->peak_clients = server->client_count;
  ev_io_start(server->loop, &client->watcher);
}

namespace {

// Writes the verdict line for `client` when its writer asked for one. The
// line is short and the writer reads nothing else, so it fits the socket's
// buffer; a writer already gone is no concern.
void send_verdict(const stream_client* client, const message_verdict& verdict) {
  if (!client->wants_verdict) return;
  char line[kVerdictLineMax];
  const size_t len = verdict_encode(verdict, line);
  ssize_t n;
  do {
    n = send(client->fd, line, len, MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
}

// Makes room for at least kReadChunk more bytes. The reservation doubles (up
// to `limit`, past which the message is refused anyway) so that a long
// message costs a few reallocations rather than one per read; the bytes kept
// stay exactly those received.
void reserve_chunk(byte_buffer* buf, uint32_t limit) {
  const uint64_t needed = static_cast<uint64_t>(buf->length) + kReadChunk;
  if (needed <= buf->capacity) return;
  uint64_t target = 2 * static_cast<uint64_t>(buf->capacity);
  if (target > limit) target = limit;
  if (target < needed) target = needed;
  brealloc(buf, static_cast<uint32_t>(target), buf->capacity);
}

// Bytes the next read may take: all the free room, so that a long message
// needs few reads. When every read is logged and dumped (debug above 6),
// kReadChunk at most, so that the log shows the same steps at any speed.
uint32_t read_size(const byte_buffer* buf) {
  const uint32_t room = buf->capacity - buf->length;
  return debug > 6 && room > kReadChunk ? kReadChunk : room;
}

}  // namespace

void recv_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept {
  (void)revents;
  stream_client* client = container_of(w, stream_client, watcher);
  stream_server* server = client->server;
  const uint32_t limit = server->max_message != 0 ? server->max_message : kMaxStreamMessage;
  // Several reads per turn spare the loop a wake-up per chunk; the bound
  // keeps one fast writer from holding up the other connections.
  for (int chunk = 0; chunk < kReadChunksPerTurn; ++chunk) {
    byte_buffer* buf = &client->buffer;
    reserve_chunk(buf, limit);
    ssize_t n;
    do {
      n = recv(client->fd, buf_offset(buf), read_size(buf), 0);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    diag_debug("fd: %u, size: %zd\n", static_cast<unsigned>(client->fd), n);

    if (n > 0) {
      if (static_cast<uint64_t>(buf->length) + static_cast<uint64_t>(n) > limit) {
        diag_err("message on fd %d longer than %" PRIu32 " bytes, dropped\n", client->fd, limit);
        ++server->refused_too_long;
        message_verdict refusal{};
        snprintf(refusal.reason, sizeof refusal.reason,
                 "message longer than the daemon's limit of %" PRIu32 " bytes", limit);
        send_verdict(client, refusal);
        close_and_free_client(loop, client);
        return;
      }
      bconcat_suf(buf, static_cast<uint32_t>(n));
      client->counted += static_cast<uint32_t>(n);
      server->buffered_bytes += static_cast<uint64_t>(n);
      if (debug > 6) dump_stream_buffer(buf);
      if (server->buffered_bytes > kMaxBufferedStreamBytes && server->focus == nullptr) {
        update_focus(server);
        // Another connection may be the one read alone now.
        if (!ev_is_active(&client->watcher)) return;
      }
      continue;
    }
    if (n == 0) {
      message_verdict verdict{};
      server->take(server->publish_arg, buf, &verdict);
      send_verdict(client, verdict);
      close_and_free_client(loop, client);
      return;
    }
    if (err == EAGAIN || err == EWOULDBLOCK) return;
    diag_err_errno(err, "recv failed");
    close_and_free_client(loop, client);
    return;
  }
}

void close_and_free_client(struct ev_loop* loop, stream_client* client) {
  if (client == nullptr) return;
  diag_debug("close and free fd: %d\n", client->fd);
  ev_io_stop(loop, &client->watcher);
  // Not retried on EINTR: on Linux the descriptor is released either way.
  close(client->fd);
  stream_server* server = client->server;
  if (client->prev != nullptr) {
    client->prev->next = client->next;
  } else if (server->clients == client) {
    server->clients = client->next;
  }
  if (client->next != nullptr) client->next->prev = client->prev;
  bfree(&client->buffer);
  server->buffered_bytes -= client->counted;
  const bool was_focus = server->focus == client;
  free(client);
  --server->client_count;
  if (was_focus) {
    // Everyone is read again, unless the others still hold too much.
    server->focus = nullptr;
    apply_reading(server);
  }
  update_focus(server);
  // A storm of connections leaves their records and buffers scattered
  // through the heap, where the allocator keeps them after they are freed.
  // Handed back once when a quarter is left, and again a moment after none
  // is, once the session thread has freed the storm's messages as well.
  if (server->peak_clients >= kTrimAfterConnections) {
    if (server->client_count == server->peak_clients / 4) heap_release_free();
    if (server->client_count == 0) {
      server->peak_clients = 0;
      ev_timer_init(&server->trim_later, trim_later_cb, kTrimDelaySeconds, 0.);
      ev_timer_start(server->loop, &server->trim_later);
    }
  }
  // The episode ends once a reserve's worth of connections has ended.
  if (server->fd_reserve_warned &&
      server->client_count + static_cast<unsigned>(kFdReserve) <= server->clients_at_reserve) {
    server->fd_reserve_warned = false;
  }
  if (server->at_fd_reserve) {
    server->at_fd_reserve = false;
    update_listener(server);
  }
}

void stream_server_pause(stream_server* server, bool paused) {
  if (server->reading_paused == paused) return;
  server->reading_paused = paused;
  apply_reading(server);
}

void stream_server_stop_accepting(stream_server* server) {
  server->accepting_stopped = true;
  update_listener(server);
}

void dump_stream_buffer(const byte_buffer* buf) {
  diag_raw("%s\n", "vexel pkt:");
  for (uint32_t i = 0; i < buf->length; ++i) {
    diag_raw("%02x ", static_cast<unsigned>(buf->bytes[i]));
    const uint32_t count = i + 1;
    if (count % 8 == 0) diag_raw("   ");
    if (count % 16 == 0) diag_raw("\n");
  }
  diag_raw("\n");
}
