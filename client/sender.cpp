#include "client/sender.h"

#include <errno.h>
#include <inttypes.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include "client/settings.h"
#include "common/log.h"
#include "common/random_bytes.h"
#include "common/unix_address.h"
#include "common/verdict.h"

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
  bool at_end;   // the last read was short: end of file or an error
  int read_err;  // errno of that read when it was an error
};

// Reads kSendChunk bytes (fewer at the end of the file or on an error) after
// what `batch` holds.
void read_chunk(FILE* stream, chunk_batch* batch) {
  const size_t n = fread(batch->bytes + batch->used, 1, kSendChunk, stream);
  batch->used += n;
  if (n < kSendChunk) {
    batch->at_end = true;
    // Captured at once: logging and sending come before the error is told.
    if (ferror(stream)) batch->read_err = errno;
  }
}

// Reads chunks into `batch` until it is full or the file ends.
void fill_batch(FILE* stream, chunk_batch* batch) {
  while (!batch->at_end && batch->used + kSendChunk <= sizeof batch->bytes) {
    read_chunk(stream, batch);
  }
}

// The ERR lines of a file that could not be read.
void report_read_failure(const char* name, const chunk_batch& batch) {
  diag_err("Read File:%s Failed.\n", name);
  diag_err_errno(batch.read_err, "fread");
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
      const int err = errno;
      diag_err_errno_text(err, "Send File:%s Failed", name);
      return 1;
    }
    if (batch->at_end) break;
  }
  if (ferror(stream)) {
    report_read_failure(name, *batch);
    return 1;
  }
  return 0;
}

// Ends the message by shutting down the sending side (which needs no byte, so
// an empty message ends too), then reads the daemon's verdict until it
// closes. There is no time-out: while its queue is full the daemon holds the
// writer back, and the verdict comes when it has room. Writes the refusal's
// reason, or the lack of a verdict, to standard error after `program`; with
// fprintf rather than the log, so that it shows at every debug level.
// Returns true for an accepted message.
bool await_verdict(int fd, const char* program) {
  char line[kVerdictLineMax];
  const size_t used = end_and_read_reply(fd, line, sizeof line);
  message_verdict verdict{};
  if (!verdict_parse(line, used, &verdict)) {
    fprintf(stderr, "%s: no verdict: the daemon stopped, or the peer is not quorreld\n", program);
    return false;
  }
  if (verdict.accepted) return true;
  fprintf(stderr, "%s: %s\n", program, verdict.reason);
  return false;
}

}  // namespace

// Connects a blocking stream socket to the daemon's address `addr` of
// `addr_len` bytes (unix_address), first binding it to an abstract address
// named `ask` (kVerdictAddressPrefix, kStatusAddressPrefix) when not null.
// Returns the descriptor, or -1 after ERR lines.
int connect_to_daemon(const struct sockaddr_un& addr, int addr_len, const char* ask) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    const int err = errno;
    diag_err("socket failed\n");
    diag_err_errno(err, "socket");
    return -1;
  }
  // A client that cannot ask for a verdict must not go on to claim success
  // without one, so this ends the run before anything is sent.
  if (ask != nullptr && bind_abstract_address(fd, ask) != 0) {
    const int err = errno;
    diag_err_errno(err, "verdict address not bound");
    close(fd);
    return -1;
  }
  int rc;
  do {
    rc = connect(fd, reinterpret_cast<const struct sockaddr*>(&addr),
                 static_cast<socklen_t>(addr_len));
  } while (rc != 0 && errno == EINTR);
  if (rc != 0) {
    const int err = errno;
    diag_err_errno_text(err, "Could not bind connect socket");
    close(fd);
    return -1;
  }
  return fd;
}

size_t end_and_read_reply(int fd, char* reply, size_t size) {
  size_t used = 0;
  if (shutdown(fd, SHUT_WR) != 0) return 0;
  while (used < size) {
    const ssize_t n = read(fd, reply + used, size - used);
    if (n > 0) {
      used += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      // End of file; or ECONNRESET, which follows the verdict when the
      // daemon refused a message mid-way and closed with the rest unread.
      break;
    }
  }
  return used;
}

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

int send_message(const char* program) {
  struct sockaddr_un addr;
  const int addr_len = unix_address(&addr, args_info.unixsock_arg);
  if (addr_len < 0) {
    // At most 255 characters of the path, as the line has always shown.
    diag_err("%.255s socket name too long\n", args_info.unixsock_arg);
    return 1;
  }

  // Decide what to send, and open the file, before connecting: the daemon
  // publishes whatever a connection carries, so a connection that was made
  // for nothing would become an empty message.
  file_holder file;
  if (args_info.file_given != 0) {
    file.stream = fopen(args_info.file_arg, "re");
    if (file.stream == nullptr) {
      const int err = errno;
      diag_err("fopen failed\n");
      diag_err_errno(err, "fopen %s", args_info.file_arg);
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
    read_chunk(file.stream, &batch);
    if (batch.used == 0 && ferror(file.stream)) {
      report_read_failure(args_info.file_arg, batch);
      return 1;
    }
  }

  // Detached, the client has no one to tell the verdict to.
  const bool want_verdict = daemon_mode == 0;
  fd_holder sock;
  sock.fd = connect_to_daemon(addr, addr_len, want_verdict ? kVerdictAddressPrefix : nullptr);
  if (sock.fd < 0) return 1;

  int status = 0;
  if (file.stream != nullptr) {
    status = send_file(sock.fd, file.stream, args_info.file_arg, &batch);
  } else {
    const char* text = args_info.data_arg != nullptr ? args_info.data_arg : "";
    if (send_all(sock.fd, text, strlen(text)) != 0) {
      const int err = errno;
      diag_err_errno_text(err, "Send data:%s Failed", text);
      status = 1;
    } else {
      diag_debug("data: %s\n", text);
    }
  }
  if (!want_verdict) return status;
  // Also after a failed send: a daemon that refused the message mid-way
  // wrote its verdict before closing, and the reason is worth showing.
  const bool accepted = await_verdict(sock.fd, program);
  return status == 0 && accepted ? 0 : 1;
}
