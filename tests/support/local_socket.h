// Writers for the daemon's Unix-domain sockets.
#ifndef QUORREL_TESTS_SUPPORT_LOCAL_SOCKET_H_
#define QUORREL_TESTS_SUPPORT_LOCAL_SOCKET_H_

#include <string>

namespace quorrel_test {

// Sends `bytes` as one datagram to the datagram socket at `path`. The send
// buffer is sized for the datagram and sends time out after 5 s. Returns
// false on any failure (errno describes it).
bool send_datagram(const std::string& path, const std::string& bytes);

// A Unix socket of `type` (SOCK_DGRAM or SOCK_STREAM, optionally with
// SOCK_NONBLOCK) connected to `path`, close-on-exec; the caller closes it.
// -1 on failure, with errno telling why (EAGAIN: a non-blocking connect to a
// listener whose queue is full).
int connect_local(const std::string& path, int type);

// Connects to the stream socket at `path`, writes all of `bytes` and closes:
// one message. Returns false on any failure.
bool send_stream(const std::string& path, const std::string& bytes);

// One stream connection kept open under test control, for messages written
// in pieces or connections that overlap. Closes in the destructor.
class StreamConnection {
 public:
  StreamConnection() = default;
  ~StreamConnection();
  StreamConnection(const StreamConnection&) = delete;
  StreamConnection& operator=(const StreamConnection&) = delete;

  bool open(const std::string& path);
  bool write(const std::string& bytes);
  // Ends the sending direction; the connection stays open for reading.
  bool shutdown_write();
  // Waits at most `timeout_ms` for the peer to close; true when it did.
  bool wait_peer_closed(int timeout_ms);
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_LOCAL_SOCKET_H_
