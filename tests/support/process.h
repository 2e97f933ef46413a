// Child processes for tests: start with a chosen argv[0], capture output,
// wait with a bound, stop by pid.
#ifndef QUORREL_TESTS_SUPPORT_PROCESS_H_
#define QUORREL_TESTS_SUPPORT_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorrel_test {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// One line the child wrote to standard error, stamped when its newline arrived.
struct OutputLine {
  Clock::time_point when;
  std::string text;  // without the newline
};

// A child process started with posix_spawn. Standard input is /dev/null;
// standard output and error go to pipes that a reader thread drains into
// memory, so the child never blocks on a full pipe. The destructor stops a
// child that still runs (SIGTERM, then SIGKILL) and reaps it; only this pid is
// ever signalled or waited for.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Sets `name` to `value` in the environment of the child to be started;
  // the rest of the environment is inherited. REQUIRES: before start().
  void set_env(const std::string& name, const std::string& value);

  // Starts `path` (searched in PATH when it holds no slash) with `argv`;
  // argv[0] is passed as given and need not match `path`. Returns false when
  // the program cannot be started. REQUIRES: not started before.
  bool start(const std::string& path, const std::vector<std::string>& argv);

  pid_t pid() const { return pid_; }

  // True while the child has not exited (reaps it when it has).
  bool running();

  // Waits at most `timeout` for the child to end; true when it has ended.
  bool wait_exit(milliseconds timeout);

  // After the child ended: its exit status, or -1 when a signal ended it.
  int exit_code() const;
  // After the child ended: the signal that ended it, or 0.
  int term_signal() const;

  // SIGTERM, up to `grace` for the child to end, then SIGKILL; reaps it.
  void stop(milliseconds grace = milliseconds(2000));
  // SIGKILL at once; reaps the child.
  void kill_now();

  // Waits at most `timeout` until the child's output pipes reached end of
  // file (the child and every process that inherited them have ended).
  bool wait_output_closed(milliseconds timeout) const;

  std::string stdout_text() const;
  std::string stderr_text() const;
  std::vector<OutputLine> stderr_lines() const;

  // Waits at most `timeout` until standard error holds `needle` at least
  // `count` times; true when it does.
  bool wait_for_stderr(const std::string& needle, milliseconds timeout, size_t count = 1) const;
  size_t count_in_stderr(const std::string& needle) const;

 private:
  void reader_main(int out_fd, int err_fd);
  void record_status(int status);
  void stop_reader();

  std::vector<std::string> env_overrides_;  // "NAME=VALUE"
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;

  mutable std::mutex mu_;  // guards everything below; written by the reader thread
  mutable std::condition_variable cv_;
  std::string out_;
  std::string err_;
  std::string partial_line_;
  std::vector<OutputLine> lines_;
  bool stop_reading_ = false;
  bool reader_done_ = false;
  std::thread reader_;
};

// How often `needle` occurs in `haystack`, without overlaps; 0 for an empty
// needle.
size_t count_occurrences(const std::string& haystack, const std::string& needle);

// The result of run_command.
struct CommandResult {
  bool finished = false;  // false: the time-out hit and the child was killed
  int exit_code = -1;     // -1 when a signal ended it
  std::string out;
  std::string err;
};

// Runs `argv` (argv[0] is the program, searched in PATH) to completion,
// killing it after `timeout`.
CommandResult run_command(const std::vector<std::string>& argv,
                          milliseconds timeout = milliseconds(30000));

// The states of the children of process `parent` (one letter each, 'Z' for
// a zombie), from /proc/*/stat: running, or ended and not reaped yet.
std::string child_states(pid_t parent);

// Resident memory of process `pid` in KiB (VmRSS), or -1 when unreadable.
long resident_kib(pid_t pid);
// The most resident memory it has had so far (VmHWM), likewise.
long peak_resident_kib(pid_t pid);

// Whether the programs under test run under an emulator (qemu-user), whose
// own memory and slowness then count in what the tests measure.
#if defined(QUORREL_UNDER_EMULATOR)
constexpr bool kUnderEmulator = true;
#else
constexpr bool kUnderEmulator = false;
#endif

// Polls `condition` every 20 ms until it holds or `timeout` passes; returns
// its last value.
template <typename Condition>
bool wait_until(Condition condition, milliseconds timeout) {
  const Clock::time_point end = Clock::now() + timeout;
  for (;;) {
    if (condition()) return true;
    if (Clock::now() >= end) return false;
    std::this_thread::sleep_for(milliseconds(20));
  }
}

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_PROCESS_H_
