// Starting quorreld for a figure: by name, so that its single-instance lock
// file belongs to this run alone, and optionally under a tool (valgrind,
// strace) that runs it.
#ifndef QUORREL_BENCH_DAEMON_LAUNCH_H_
#define QUORREL_BENCH_DAEMON_LAUNCH_H_

#include <sys/types.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/daemon.h"

namespace quorrel_bench {

// Removes the lock file of a daemon started under a tool, which
// QuorreldProcess (started by name) would otherwise remove itself.
struct LockFile {
  std::string path;
  ~LockFile() {
    if (!path.empty()) unlink(path.c_str());
  }
  LockFile() = default;
  LockFile(LockFile&& other) noexcept : path(std::move(other.path)) { other.path.clear(); }
  LockFile& operator=(LockFile&& other) noexcept {
    std::swap(path, other.path);
    return *this;
  }
};

// One daemon the harness started. Destroying it stops the process it
// started (SIGTERM, then SIGKILL), then removes the lock file.
struct LaunchedDaemon {
  LockFile lock;  // declared first: removed after the daemon has stopped
  std::unique_ptr<quorrel_test::QuorreldProcess> daemon;
};

// Starts `program` with `args` as a daemon named after `tag`; under
// `wrapper` (a command line split at spaces, "" for none) when given. The
// daemon's argv[0] is then still a bare name, found through a link in
// `link_dir` put first in PATH, since its lock file is named after it.
// Throws std::runtime_error when it cannot be started. Returns at once: the
// caller waits for its sockets.
LaunchedDaemon launch_daemon(const std::string& tag, const std::vector<std::string>& args,
                             const std::string& program, const std::string& wrapper,
                             const std::string& link_dir);

// The pid of the only child of `pid` (the daemon a tool such as strace runs
// as its child), or -1 when it has none or more than one.
pid_t only_child(pid_t pid);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_DAEMON_LAUNCH_H_
