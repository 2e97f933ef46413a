#include "server/dgram_ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/log.h"
#include "server/alloc.h"
#include "server/daemon_exit.h"

namespace {

constexpr size_t kMinArea = 256 * 1024;
constexpr size_t kMaxArea = 8 * 1024 * 1024;

// Replaces the area with an uninitialised one of `size` bytes. Not zeroed, so
// pages that no datagram reaches are never touched.
void resize_area(dgram_server* server, size_t size) {
  free(server->area);
  server->area = nullptr;
  server->area_size = 0;
  server->area = static_cast<unsigned char*>(ss_realloc(nullptr, size));
  server->area_size = size;
}

// Receives one datagram and publishes it. False when nothing was waiting
// (or the socket failed), so that the caller stops for this turn.
bool receive_one(dgram_server* server) {
  if (server->area == nullptr) resize_area(server, dgram_area_size());

  struct iovec iov;
  iov.iov_base = server->area;
  iov.iov_len = server->area_size;
  struct msghdr msg;
  memset(&msg, 0, sizeof msg);
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n;
  do {
    // MSG_TRUNC makes the kernel report a datagram's full length even when
    // it did not fit, so a cut message can never pass for a whole one.
    n = recvmsg(server->fd, &msg, MSG_TRUNC | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return false;
  // An empty datagram publishes nothing, but others may wait behind it.
  if (n == 0) return true;

  if ((msg.msg_flags & MSG_TRUNC) != 0 || static_cast<size_t>(n) > server->area_size) {
    diag_err(
        "datagram of %zd bytes larger than receive area of %zu bytes, "
        "dropped\n",
        n, server->area_size);
    size_t wanted = static_cast<size_t>(n);
    if (wanted <= server->area_size) wanted = server->area_size * 2;
    resize_area(server, wanted);
    return true;
  }

  diag_debug("fd: %u, size: %zd\n", static_cast<unsigned>(server->fd), n);
  server->publish(server->publish_arg, server->area, static_cast<int>(n));
  return true;
}

// Binds as create_udpserver does, but returns -1 after the ERR lines instead
// of ending the process.
int bind_udpserver(const char* path) {
  return bind_unix_socket(path, SOCK_DGRAM, "Create udp socket faild", "Could not bind udp socket");
}

}  // namespace

int create_udpserver(const char* path) {
  const int fd = bind_udpserver(path);
  if (fd < 0) daemon_exit(kExitDatagramSocket);
  return fd;
}

int dgram_server_open(dgram_server* server, struct ev_loop* loop, const char* path,
                      void* publish_arg, publish_fn publish) {
  const int fd = bind_udpserver(path);
  if (fd < 0) return -1;
  if (socket_context_start(server, loop, fd, udp_recv_cb, publish_arg, publish) != 0) {
    close(fd);
    return -1;
  }
  diag_debug("udp create %s\n", path);
  return 0;
}

size_t dgram_area_size() {
  size_t size = kMinArea;
  int fd;
  do {
    fd = open("/proc/sys/net/core/wmem_max", O_RDONLY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return size;
  char text[32] = {0};
  ssize_t n;
  do {
    n = read(fd, text, sizeof text - 1);
  } while (n < 0 && errno == EINTR);
  close(fd);
  if (n <= 0) return size;
  const unsigned long long wmem_max = strtoull(text, nullptr, 10);
  // The kernel doubles a requested SO_SNDBUF, and a datagram must fit the
  // sender's buffer, so this bounds what an unprivileged sender can send.
  const unsigned long long doubled = wmem_max >= kMaxArea / 2 ? kMaxArea : 2 * wmem_max;
  if (doubled > size) size = static_cast<size_t>(doubled);
  return size;
}

void release_dgram_server(dgram_server* server) {
  free(server->area);
  server->area = nullptr;
  server->area_size = 0;
}

void udp_recv_cb(struct ev_loop* loop, ev_io* w, int revents) noexcept {
  (void)loop;
  (void)revents;
  dgram_server* server = context_of<dgram_server>(w);
  // Several datagrams per turn spare the loop a wake-up per datagram; the
  // bound keeps a busy sender from holding up the stream connections.
  for (int i = 0; i < kDatagramsPerTurn; ++i) {
    if (!receive_one(server)) return;
    // The publish may have paused the socket for back-pressure.
    if (!ev_is_active(&server->io)) return;
  }
}

void dgram_server_pause(dgram_server* server, bool paused) {
  if (paused) {
    ev_io_stop(server->loop, &server->io);
  } else {
    ev_io_start(server->loop, &server->io);
  }
}
