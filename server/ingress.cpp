#include "server/ingress.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>

#include "common/log.h"

int socket_context_start(socket_context* context, struct ev_loop* loop, int fd, socket_read_cb cb,
                         void* publish_arg, publish_fn publish) {
  if (setnonblocking(fd) != 0) {
    const int err = errno;
    diag_err("socket %d not made non-blocking: %s(%d)\n", fd, strerror(err), err);
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
