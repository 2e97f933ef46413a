#include "server/ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "common/log.h"
#include "common/unix_address.h"

int bind_unix_socket(const char* path, int type, const char* not_created, const char* not_bound) {
  struct sockaddr_un addr;
  const int addr_len = unix_address(&addr, path);
  if (addr_len < 0) {
    // At most 255 characters of the path, as the line has always shown.
    diag_err("%.255s socket name too long\n", path);
    return -1;
  }
  unlink(path);
  const int fd = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int err = errno;
    diag_err("%s\n", not_created);
    diag_err_errno(err, "socket");
    return -1;
  }
  if (bind(fd, reinterpret_cast<struct sockaddr*>(&addr), static_cast<socklen_t>(addr_len)) != 0) {
    const int err = errno;
    diag_err_errno_text(err, "%s", not_bound);
    close(fd);
    return -1;
  }
  return fd;
}

int socket_context_start(socket_context* context, struct ev_loop* loop, int fd, socket_read_cb cb,
                         void* publish_arg, publish_fn publish) {
  if (setnonblocking(fd) != 0) {
    const int err = errno;
    diag_err_errno(err, "socket %d not made non-blocking", fd);
    return -1;
  }
  context->loop = loop;
  ev_io_init(&context->io, cb, fd, EV_READ);
  context->fd = fd;
  context->publish_arg = publish_arg;
  context->publish = publish;
  ev_io_start(loop, &context->io);
  return 0;
}

int setnonblocking(int fd) {
  int flags = fcntl(fd, F_GETFL, 0);
  if (flags == -1) flags = 0;
  return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}
