#include "server/script_runner.h"

#include <errno.h>
#include <ev.h>
#include <limits.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>

#include "common/log.h"
#include "server/log_throttle.h"

extern char** environ;

namespace {

// Highest descriptor count the close loop goes to. An unlimited (or absurd)
// soft limit would make it run for billions of closes; the kernel's default
// ceiling for any process's limit (fs.nr_open) is this, so no descriptor of
// ours lies beyond it.
constexpr rlim_t kMaxCloseLoop = 1 << 20;

struct queued_script {
  char* command;
  size_t length;
};

// A run of commands refused by a full queue, none more than
// kScriptOverflowQuietSeconds after the one before: one overflow, reported
// by its first line and its total.
struct queue_overflow {
  bool open;
  unsigned refused;     // commands refused in it, the first included
  double last_refusal;  // when the latest was refused (the runner's clock)
};

// Everything below is guarded by `runner_mu`, except `loop`, `reaper`,
// `wake` and `overflow_end`, which script_runner_start sets on the main
// thread before any submitter runs and only the main thread's loop touches
// afterwards.
struct script_runner {
  // Slots taken: children recorded in `pids` and spawns whose pid is not
  // recorded yet (`spawning`).
  unsigned running;
  unsigned spawning;
  pid_t pids[kMaxRunningScripts];  // 0: a free entry
  // Children reaped before their spawner recorded them: the reaper runs on
  // another thread than a spawn from the session thread, and a short script
  // can end first. Only kept while a spawn is under way.
  pid_t ended_early[kMaxRunningScripts];
  queued_script queue[kMaxQueuedScripts];  // a ring from `head`
  unsigned head;
  unsigned queued;
  size_t queued_bytes;
  queue_overflow overflow;
  // Since the start: scripts started, and those not run (a full queue, a
  // child that could not be created).
  uint64_t started_total;
  uint64_t not_run_total;

  struct ev_loop* loop;
  ev_child reaper;
  ev_async wake;
  // Runs only while an overflow is open, to end it once it has been quiet.
  ev_timer overflow_end;
};

pthread_mutex_t runner_mu = PTHREAD_MUTEX_INITIALIZER;
script_runner runner;
// The queue-full lines' throttle and the clock that times them and the
// overflows: guarded by `runner_mu`, like `runner`.
log_throttle queue_full_log{kScriptQueueFullLogSeconds, 0.0, 0, false};
double (*runner_clock)() = monotonic_seconds;

// Clears the entry of `pid` in `set`; false when it is not there.
bool take_pid(pid_t* set, pid_t pid) {
  for (unsigned i = 0; i < kMaxRunningScripts; ++i) {
    if (set[i] == pid) {
      set[i] = 0;
      return true;
    }
  }
  return false;
}

// Puts `pid` in a free entry of `set`; dropped when none is free.
void put_pid(pid_t* set, pid_t pid) {
  for (unsigned i = 0; i < kMaxRunningScripts; ++i) {
    if (set[i] == 0) {
      set[i] = pid;
      return;
    }
  }
}

// Ends a spawn under way. REQUIRES: runner_mu held.
void spawn_done() {
  --runner.spawning;
  // With no spawn under way, a pid not in `pids` is no script of ours.
  if (runner.spawning == 0) memset(runner.ended_early, 0, sizeof runner.ended_early);
}

// The descriptor count the child's close loop goes to, read here in the
// parent: getrlimit is not among the calls a forked child of a threaded
// process may make.
int close_loop_limit() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY ||
      limit.rlim_cur > kMaxCloseLoop) {
    return static_cast<int>(kMaxCloseLoop);
  }
  return static_cast<int>(limit.rlim_cur);
}

// The child's side, between fork and exec. Only async-signal-safe calls:
// another thread may have held any lock (malloc's, stdio's) at the fork.
[[noreturn]] void exec_shell(char* const argv[], int close_limit) {
  // The library ignores SIGPIPE, and ignored signals survive exec; a script
  // expects the defaults of any shell. The kernel is asked directly: the C
  // library refuses the signals it keeps for itself (32 and up), which a
  // parent may have left ignored (glibc's posix_spawn does). A zeroed record
  // means SIG_DFL, no flags and an empty mask in every architecture's layout.
  // The last argument is the size of the kernel's signal set: 64 signals, or
  // 128 on MIPS, which _NSIG (65, or 128) over 8 gives on both C libraries.
  const unsigned long dfl[8] = {};
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) syscall(SYS_rt_sigaction, sig, dfl, nullptr, _NSIG / 8);
  }
  // The daemon's descriptors (the broker connection, the library's socket
  // pair) must not outlive it in a script, nor be written to by one.
#ifdef QUORREL_HAVE_CLOSE_RANGE
  if (close_range(3, ~0U, 0) != 0)  // ENOSYS on kernels before 5.9
#endif
  {
    for (int fd = 3; fd < close_limit; ++fd) close(fd);
  }
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  execve("/bin/sh", argv, environ);
  _exit(127);
}

// Forks a child that runs `/bin/sh -c command`. The pid, or -1 with errno set.
pid_t spawn_shell(char* command) {
  char sh[] = "sh";
  char dash_c[] = "-c";
  char* const argv[] = {sh, dash_c, command, nullptr};
  const int close_limit = close_loop_limit();
  // Blocked across fork, so that no handler of the daemon's (libev's SIGCHLD
  // handler writing to the loop's pipe) runs in the child before the child
  // has reset the dispositions.
  sigset_t all;
  sigset_t saved;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &saved);
  const pid_t pid = fork();
  if (pid == 0) exec_shell(argv, close_limit);
  const int err = errno;
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = err;
  return pid;
}

// Starts queued commands while slots are free, at most `most` of them.
// Returns true when work is left that a free slot could take. Spawns with the
// lock released: a fork takes long enough to hold up the other thread.
bool start_queued(unsigned most) noexcept {
  for (unsigned started = 0; started < most; ++started) {
    pthread_mutex_lock(&runner_mu);
    if (runner.running >= kMaxRunningScripts || runner.queued == 0) {
      pthread_mutex_unlock(&runner_mu);
      return false;
    }
    const queued_script next = runner.queue[runner.head];
    runner.head = (runner.head + 1) % kMaxQueuedScripts;
    --runner.queued;
    runner.queued_bytes -= next.length;
    ++runner.running;
    ++runner.spawning;
    pthread_mutex_unlock(&runner_mu);

    const pid_t pid = spawn_shell(next.command);
    const int err = errno;
    // The child has its own copy of the text.
    free(next.command);

    pthread_mutex_lock(&runner_mu);
    if (pid < 0 || take_pid(runner.ended_early, pid)) {
      --runner.running;
    } else {
      put_pid(runner.pids, pid);
    }
    if (pid < 0) {
      ++runner.not_run_total;
    } else {
      ++runner.started_total;
    }
    spawn_done();
    pthread_mutex_unlock(&runner_mu);
    if (pid < 0) diag_err_errno(err, "script start failed");
  }
  pthread_mutex_lock(&runner_mu);
  const bool more = runner.running < kMaxRunningScripts && runner.queued > 0;
  pthread_mutex_unlock(&runner_mu);
  return more;
}

// Any child of the daemon ended (libev has reaped it). Main thread.
void child_ended_cb(struct ev_loop* loop, ev_child* w, int revents) noexcept {
  (void)loop;
  (void)revents;
  pthread_mutex_lock(&runner_mu);
  if (take_pid(runner.pids, w->rpid)) {
    --runner.running;
  } else if (runner.spawning > 0) {
    put_pid(runner.ended_early, w->rpid);
  }
  pthread_mutex_unlock(&runner_mu);
  start_queued(kMaxQueuedScripts);
}

// Seconds until the open overflow has been quiet for
// kScriptOverflowQuietSeconds; 0 or less when it has. REQUIRES: runner_mu
// held.
double overflow_quiet_in() {
  return runner.overflow.last_refusal + kScriptOverflowQuietSeconds - runner_clock();
}

// Arms the overflow's end to fire in `seconds`. Main thread.
void arm_overflow_end(struct ev_loop* loop, double seconds) {
  ev_timer_set(&runner.overflow_end, seconds > 0.0 ? seconds : 0.0, 0.0);
  ev_timer_start(loop, &runner.overflow_end);
}

// The overflow may be over: it is when no command was refused for
// kScriptOverflowQuietSeconds, and then its total is told; otherwise the
// check comes again when it could be. Main thread.
void overflow_end_cb(struct ev_loop* loop, ev_timer* w, int revents) noexcept {
  (void)w;
  (void)revents;
  pthread_mutex_lock(&runner_mu);
  if (!runner.overflow.open) {
    pthread_mutex_unlock(&runner_mu);
    return;
  }
  const double left = overflow_quiet_in();
  if (left > 0.0) {
    pthread_mutex_unlock(&runner_mu);
    arm_overflow_end(loop, left);
    return;
  }
  const unsigned refused = runner.overflow.refused;
  runner.overflow = {};
  // The next overflow starts with its own first line, not with a count of
  // lines held back in this one, which the total below already includes.
  queue_full_log = {kScriptQueueFullLogSeconds, 0.0, 0, false};
  pthread_mutex_unlock(&runner_mu);
  diag_err("script queue overflow ended, scripts not run: %u\n", refused);
}

// A submitter left queued work that a free slot could take, or opened an
// overflow, whose end the loop times. Main thread.
void wake_cb(struct ev_loop* loop, ev_async* w, int revents) noexcept {
  (void)w;
  (void)revents;
  start_queued(kMaxQueuedScripts);
  if (ev_is_active(&runner.overflow_end)) return;
  pthread_mutex_lock(&runner_mu);
  const bool open = runner.overflow.open;
  const double left = open ? overflow_quiet_in() : 0.0;
  pthread_mutex_unlock(&runner_mu);
  if (open) arm_overflow_end(loop, left);
}

}  // namespace

void script_runner_start(struct ev_loop* loop, double (*clock)()) noexcept {
  pthread_mutex_lock(&runner_mu);
  runner_clock = clock;
  pthread_mutex_unlock(&runner_mu);
  if (runner.loop != nullptr) return;
  runner.loop = loop;
  // pid 0: every child, since the pid of a script is known only after its
  // spawn, and it may end before that.
  ev_child_init(&runner.reaper, child_ended_cb, 0, 0);
  ev_child_start(loop, &runner.reaper);
  ev_async_init(&runner.wake, wake_cb);
  ev_async_start(loop, &runner.wake);
  ev_timer_init(&runner.overflow_end, overflow_end_cb, 0.0, 0.0);
}

void script_runner_submit(char* command, size_t length) noexcept {
  unsigned held_back = 0;
  bool log_full = false;
  bool opened = false;
  pthread_mutex_lock(&runner_mu);
  const bool fits =
      runner.queued < kMaxQueuedScripts && length <= kMaxQueuedScriptBytes - runner.queued_bytes;
  if (fits) {
    runner.queue[(runner.head + runner.queued) % kMaxQueuedScripts] = {command, length};
    ++runner.queued;
    runner.queued_bytes += length;
  } else {
    const double now = runner_clock();
    opened = !runner.overflow.open;
    runner.overflow.open = true;
    if (runner.overflow.refused < UINT_MAX) ++runner.overflow.refused;
    ++runner.not_run_total;
    runner.overflow.last_refusal = now;
    log_full = log_throttle_admit(&queue_full_log, now, &held_back);
  }
  pthread_mutex_unlock(&runner_mu);
  if (!fits) {
    free(command);
    if (log_full && held_back == 0) {
      diag_err("script queue full, script not run\n");
    } else if (log_full) {
      diag_err("script queue full, script not run (%u more not shown)\n", held_back);
    }
    // Only the loop's thread may start the timer that ends the overflow.
    if (opened && runner.loop != nullptr) ev_async_send(runner.loop, &runner.wake);
    return;
  }
  // One spawn at most here: when more could start (a spawn failed, or a child
  // ended before its pid was recorded), the main thread starts them.
  if (start_queued(1) && runner.loop != nullptr) ev_async_send(runner.loop, &runner.wake);
}

void script_runner_counts(uint64_t* started, uint64_t* not_run) noexcept {
  pthread_mutex_lock(&runner_mu);
  *started = runner.started_total;
  *not_run = runner.not_run_total;
  pthread_mutex_unlock(&runner_mu);
}

void script_runner_not_run() noexcept {
  pthread_mutex_lock(&runner_mu);
  ++runner.not_run_total;
  pthread_mutex_unlock(&runner_mu);
}
