#include "client/sender.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "client/settings.h"
#include "common/log.h"

namespace {

// Owns one descriptor or stream for the duration of send_message.
struct fd_holder {
  int fd = -1;
  ~fd_holder() {
    if (fd >= 0) close(fd);
  }
};

struct file_holder {
  FILE* stream = nullptr;
  ~file_holder() {
    if (stream != nullptr) fclose(stream);
  }
};

// Connects a blocking stream socket to `path`. Returns the descriptor, or -1
// after an ERR line.
int connect_to_daemon(const char* path) {
  struct sockaddr_un addr;
  memset(&addr, 0, sizeof(addr));
  addr.sun_family = AF_UNIX;
  memcpy(addr.sun_path, path, strlen(path) + 1);

  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    diag_err("socket failed\n");
    return -1;
  }
  socklen_t len = static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + strlen(path));
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<struct sockaddr*>(&addr), len);
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    diag_err("Could not bind connect socket: %s\n", strerror(errno));
    close(fd);
    return -1;
  }
  return fd;
}

// Chunks of the file collected for one send. The file is read and logged in
// kSendChunk pieces, but handed to the socket kChunksPerSend pieces at a time:
// a stream socket keeps no boundaries, so the daemon receives the same bytes
// with a fraction of the system calls.
constexpr size_t kChunksPerSend = 32;
// Trivial, so that a static one needs no guarded initialisation (and so no
// C++ runtime); static storage starts it zeroed.
struct chunk_batch {
  char bytes[kChunksPerSend * kSendChunk];
  size_t used;
  bool at_end;  // the last read was short: end of file or an error
};

// Reads chunks into `batch` until it is full or the file ends.
void fill_batch(FILE* stream, chunk_batch* batch) {
  while (!batch->at_end && batch->used + kSendChunk <= sizeof batch->bytes) {
    const size_t n = fread(batch->bytes + batch->used, 1, kSendChunk, stream);
    batch->used += n;
    if (n < kSendChunk) batch->at_end = true;
  }
}

// Writes the DEBUG line of every chunk in `batch`, then sends them all.
// Returns 0 when sent.
int send_batch(int fd, chunk_batch* batch) {
  for (size_t at = 0; at < batch->used; at += kSendChunk) {
    const size_t len = batch->used - at < kSendChunk ? batch->used - at : kSendChunk;
    // The text stops at the chunk's end or its first NUL, whichever is first.
    diag_debug("length: %d buffer: %.*s\n", static_cast<int>(len), static_cast<int>(len),
               batch->bytes + at);
  }
  const int rc = send_all(fd, batch->bytes, batch->used);
  batch->used = 0;
  return rc;
}

// Sends what `batch` holds already, then the rest of the file. Returns 0 when
// the whole file was sent.
int send_file(int fd, FILE* stream, const char* name, chunk_batch* batch) {
  for (;;) {
    fill_batch(stream, batch);
    if (batch->used == 0) break;
    if (send_batch(fd, batch) != 0) {
      diag_err("Send File:%s Failed: %s\n", name, strerror(errno));
      return 1;
    }
    if (batch->at_end) break;
  }
  if (ferror(stream)) {
    diag_err("Read File:%s Failed.\n", name);
    return 1;
  }
  return 0;
}

}  // namespace

int send_all(int fd, const void* data, size_t length) {
  const char* p = static_cast<const char*>(data);
  while (length > 0) {
    ssize_t sent = send(fd, p, length, MSG_NOSIGNAL);
    if (sent < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    p += sent;
    length -= static_cast<size_t>(sent);
  }
  return 0;
}

int send_message(void) {
  char path[256];
  snprintf(path, sizeof(path), "%s", args_info.unixsock_arg);
  if (strlen(path) >= sizeof(((struct sockaddr_un*)nullptr)->sun_path)) {
    diag_err("%s socket name too long\n", path);
    return 1;
  }

  // Decide what to send, and open the file, before connecting: the daemon
  // publishes whatever a connection carries, so a connection that was made
  // for nothing would become an empty message.
  file_holder file;
  if (args_info.file_given != 0) {
    file.stream = fopen(args_info.file_arg, "re");
    if (file.stream == nullptr) {
      diag_err("fopen failed\n");
      return 1;
    }
    // The file is still sent in kSendChunk pieces; a larger stdio buffer only
    // means one read from the disk per 32 chunks instead of one per two.
    static char file_buffer[64 * 1024];
    setvbuf(file.stream, file_buffer, _IOFBF, sizeof file_buffer);
  } else if (args_info.data_given == 0) {
    diag_err("parameter missing :quorrel_client -D data or -f file\n");
    return 1;
  }

  // The first chunk is read before connecting too, so that a file that
  // cannot be read at all (a directory, say) does not become a message.
  static chunk_batch batch;
  if (file.stream != nullptr) {
    const size_t first = fread(batch.bytes, 1, kSendChunk, file.stream);
    batch.used = first;
    batch.at_end = first < kSendChunk;
    if (first == 0 && ferror(file.stream)) {
      diag_err("Read File:%s Failed.\n", args_info.file_arg);
      return 1;
    }
  }

  fd_holder sock;
  sock.fd = connect_to_daemon(path);
  if (sock.fd < 0) return 1;

  if (file.stream != nullptr) {
    return send_file(sock.fd, file.stream, args_info.file_arg, &batch);
  }

  const char* text = args_info.data_arg != nullptr ? args_info.data_arg : "";
  if (send_all(sock.fd, text, strlen(text)) != 0) {
    diag_err("Send data:%s Failed: %s\n", text, strerror(errno));
    return 1;
  }
  diag_debug("data: %s\n", text);
  return 0;
}
