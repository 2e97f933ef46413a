// The one way the daemon ends itself, and the statuses it ends with.
//
// Thread: any. On the main thread before the session thread exists the
// process ends through exit(); once a second thread runs it ends at once,
// without exit handlers or static destructors, which the other thread
// could otherwise race (it is neither stopped nor joined). Standard output
// and standard error are flushed either way; the system log needs nothing.
#ifndef QUORREL_SERVER_DAEMON_EXIT_H_
#define QUORREL_SERVER_DAEMON_EXIT_H_

// The statuses, by cause. Scripts and service managers rely on them.
enum daemon_status : int {
  kExitStopped = 0,        // orderly stop (SIGTERM, SIGINT), or the loop ended
  kExitStartupFailed = 1,  // settings, lock, queue directory, detach, client
                           // creation or credentials, stream socket, thread
  kExitOutOfMemory = 1,    // an allocation that cannot fail did
  kExitWill = 255,         // the library refused the will
  kExitDatagramSocket = 255,
  kExitKeyPassword = 255,  // the TLS key password is longer than the library's buffer
};

// Ends the process with `status`. Never returns.
[[noreturn]] void daemon_exit(int status) noexcept;

// Called before a second thread starts (daemon_main, before the session
// thread): from then on daemon_exit ends the process without exit handlers.
void daemon_exit_second_thread() noexcept;

#endif  // QUORREL_SERVER_DAEMON_EXIT_H_
