// Small helpers shared by the daemon's unit tests.
#ifndef QUORREL_TESTS_SERVER_SERVER_TEST_UTIL_H_
#define QUORREL_TESTS_SERVER_SERVER_TEST_UTIL_H_

#include <ev.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

namespace server_test {

inline void sleep_ms(int ms) {
  struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&ts, nullptr);
}

// Waits at most `timeout_ms` for `path` to exist, running the default loop
// meanwhile so that scripts which ended are reaped and queued ones start.
inline bool wait_for_file(const std::string& path, int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    ev_run(ev_default_loop(0), EVRUN_NOWAIT);
    if (quorrel_test::path_exists(path)) return true;
    sleep_ms(10);
  }
  return quorrel_test::path_exists(path);
}

// Writes `dir`/record.sh, a script that records its arguments: arg2 first,
// then arg1 renamed into place, so arg1's existence means both are complete.
// Returns the script's path, or "" when it cannot be written.
inline std::string write_recording_script(const quorrel_test::TempDir& dir) {
  const std::string script = dir.file("record.sh");
  const bool ok =
      quorrel_test::write_file(script,
                               "printf '%s' \"$2\" > " + dir.file("arg2") + "\n" +
                                   "printf '%s' \"$1\" > " + dir.file("arg1.tmp") + "\n" + "mv " +
                                   dir.file("arg1.tmp") + " " + dir.file("arg1") + "\n",
                               0755);
  return ok ? script : std::string();
}

// A publish_fn stand-in: `arg` is a std::vector<std::string> that receives a
// copy of every message.
inline void record_publish(void* arg, const void* data, int len) {
  static_cast<std::vector<std::string>*>(arg)->emplace_back(static_cast<const char*>(data),
                                                            static_cast<size_t>(len));
}

// Leaves this process no free descriptor while it lives: the limit is set
// just above the highest in use (dup takes the lowest free number, so every
// number up to it is taken). Restores the limit when it goes. A test that
// captures standard error starts the capture first: it needs a descriptor.
class NoFreeDescriptors {
 public:
  NoFreeDescriptors() {
    ok_ = getrlimit(RLIMIT_NOFILE, &saved_) == 0;
    top_ = ok_ ? dup(0) : -1;
    struct rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(top_ + 1);
    ok_ = top_ >= 0 && setrlimit(RLIMIT_NOFILE, &low) == 0;
  }
  ~NoFreeDescriptors() {
    setrlimit(RLIMIT_NOFILE, &saved_);
    if (top_ >= 0) close(top_);
  }
  NoFreeDescriptors(const NoFreeDescriptors&) = delete;
  NoFreeDescriptors& operator=(const NoFreeDescriptors&) = delete;
  bool ok() const { return ok_; }

 private:
  struct rlimit saved_ {};
  int top_ = -1;
  bool ok_ = false;
};

// A path inside `dir` exactly `length` characters long.
inline std::string path_of_length(const quorrel_test::TempDir& dir, size_t length) {
  std::string path = dir.file("");
  path.append(length - path.size(), 's');
  return path;
}

}  // namespace server_test

#endif  // QUORREL_TESTS_SERVER_SERVER_TEST_UTIL_H_
