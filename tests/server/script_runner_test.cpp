// The script runner on the default loop: how many scripts run at once, the
// order and bounds of the queue, slots coming back as children are reaped,
// and the lines of an overflow, timed by a clock the test sets.
#include "server/script_runner.h"

#include <dirent.h>
#include <errno.h>
#include <ev.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "common/log.h"
#include "server/log_throttle.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace {

using quorrel_test::read_file;
using quorrel_test::TempDir;

double fake_now = 0.0;
double fake_clock() { return fake_now; }

// Children of this process that are still in /proc: running, or ended and
// not reaped yet.
int children_left() { return static_cast<int>(quorrel_test::child_states(getpid()).size()); }

void tick_cb(struct ev_loop* loop, ev_timer* w, int revents) {
  (void)loop;
  (void)w;
  (void)revents;
}

// Runs the default loop, which reaps the scripts and starts queued ones,
// until `done()` holds (true) or `timeout` has passed (false). A short tick
// brings the loop back to `done()` when nothing else happens.
template <typename Done>
bool run_loop_until(Done done, std::chrono::milliseconds timeout) {
  struct ev_loop* loop = ev_default_loop(0);
  ev_timer tick;
  ev_timer_init(&tick, tick_cb, 0.005, 0.005);
  ev_timer_start(loop, &tick);
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  bool held = done();
  while (!held && std::chrono::steady_clock::now() < deadline) {
    ev_run(loop, EVRUN_ONCE);
    held = done();
  }
  ev_timer_stop(loop, &tick);
  return held;
}

void run_loop_for(std::chrono::milliseconds time) {
  run_loop_until([] { return false; }, time);
}

// Standard error sent to a file while it lives, so that a test can wait
// for a line.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) : path_(path) {
    fflush(stderr);
    saved_ = dup(2);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd >= 0) {
      dup2(fd, 2);
      close(fd);
    }
  }
  ~StderrToFile() {
    fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
  }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

  // The text after "ERR: " of each ERR line written so far.
  std::vector<std::string> err_texts() const {
    std::string log;
    read_file(path_, &log);
    std::vector<std::string> texts;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
      const size_t at = line.find("ERR: ");
      if (at != std::string::npos) texts.push_back(line.substr(at + 5));
    }
    return texts;
  }
  // Waits (running the loop) until `count` ERR lines are written.
  bool wait_for_errs(size_t count) const {
    return run_loop_until([&] { return err_texts().size() >= count; }, std::chrono::seconds(5));
  }

 private:
  std::string path_;
  int saved_ = -1;
};

using Lines = std::vector<std::string>;

// A runner with every slot free, reaping on the default loop and timing
// overflows by `fake_now`; a log file the scripts append lines to, and two
// FIFOs that scripts may wait on until the test lets them go.
class IdleRunner : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_debug_ = debug;
    debug = 3;
    fake_now = 1000.0;
    script_runner_start(ev_default_loop(0), fake_clock);
    for (Hold* hold : {&first_, &rest_}) {
      hold->path = dir_.file(hold == &first_ ? "first" : "rest");
      ASSERT_EQ(mkfifo(hold->path.c_str(), 0600), 0) << strerror(errno);
      // Read-write, so that the open does not wait for a reader, and the
      // scripts' opens do not wait for a writer.
      hold->fd = open(hold->path.c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_GE(hold->fd, 0) << strerror(errno);
    }
    // What an earlier case in this process started has ended: every slot
    // is free.
    ASSERT_TRUE(run_loop_until([] { return children_left() == 0; }, std::chrono::seconds(10)));
  }
  void TearDown() override {
    let_go(&first_);
    let_go(&rest_);
    EXPECT_TRUE(run_loop_until([] { return children_left() == 0; }, std::chrono::seconds(10)));
    script_runner_start(ev_default_loop(0), monotonic_seconds);
    debug = saved_debug_;
  }

  struct Hold {
    std::string path;
    int fd = -1;
  };

  void submit(const std::string& command) {
    script_runner_submit(strdup(command.c_str()), command.size());
  }
  // A script that logs `mark` and then waits until `hold` is let go.
  void submit_held(const Hold& hold, const std::string& mark) {
    submit("{ echo " + mark + " >> '" + log_ + "'; read x; } < '" + hold.path + "'");
  }
  // A script that only logs `mark`.
  void submit_mark(const std::string& mark) { submit("echo " + mark + " >> '" + log_ + "'"); }
  // Takes every slot with a script held by `first_` and fifteen held by
  // `rest_`, and waits until all sixteen run.
  void take_every_slot() {
    submit_held(first_, "b");
    for (unsigned i = 1; i < kMaxRunningScripts; ++i) submit_held(rest_, "b");
    ASSERT_TRUE(
        run_loop_until([&] { return count("b") == kMaxRunningScripts; }, std::chrono::seconds(10)));
  }
  // Ends the scripts waiting on `hold`: reading, they find the end of file.
  static void let_go(Hold* hold) {
    if (hold->fd >= 0) close(hold->fd);
    hold->fd = -1;
  }
  std::vector<std::string> log_lines() const {
    std::string text;
    read_file(log_, &text);
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // Log lines that begin with `prefix`.
  size_t count(const std::string& prefix) const {
    size_t n = 0;
    for (const std::string& line : log_lines()) n += line.compare(0, prefix.size(), prefix) == 0;
    return n;
  }

  TempDir dir_{"qr"};
  const std::string log_ = dir_.file("log");
  Hold first_;
  Hold rest_;

 private:
  int saved_debug_ = 0;
};

TEST_F(IdleRunner, SixteenRunAtOnceTheNextWaitInArrivalOrderAndSlotsComeBack) {
  ASSERT_NO_FATAL_FAILURE(take_every_slot());
  for (unsigned i = 0; i < kMaxQueuedScripts; ++i) submit_mark("q" + std::to_string(i));
  {
    // The queue is full: the newest is refused, not an older one.
    const StderrToFile err(dir_.file("err"));
    submit_mark("refused");
    // Quiet for longer than an overflow lasts: it ends when the loop runs.
    fake_now += 2.0;
    EXPECT_TRUE(err.wait_for_errs(2));
    EXPECT_EQ(err.err_texts(), (Lines{
                                   "script queue full, script not run",
                                   "script queue overflow ended, scripts not run: 1",
                               }));
  }
  // A runner that started a seventeenth script would run a quick one now.
  run_loop_for(std::chrono::milliseconds(150));
  EXPECT_EQ(count("q"), 0u);

  // One slot comes free; the other fifteen stay taken, so the queued
  // scripts pass through it one at a time and log in the order they start.
  let_go(&first_);
  ASSERT_TRUE(
      run_loop_until([&] { return count("q") == kMaxQueuedScripts; }, std::chrono::seconds(30)))
      << count("q") << " of the queued scripts ran";
  std::vector<std::string> started;
  for (const std::string& line : log_lines()) {
    if (line[0] == 'q') started.push_back(line);
  }
  for (unsigned i = 0; i < kMaxQueuedScripts; ++i) {
    ASSERT_EQ(started[i], "q" + std::to_string(i)) << "the " << i << "th to start";
  }

  // Once the held scripts end and are reaped, all sixteen slots are free.
  let_go(&rest_);
  ASSERT_TRUE(run_loop_until([] { return children_left() == 0; }, std::chrono::seconds(10)));
  EXPECT_EQ(count("refused"), 0u);
  rest_.fd = open(rest_.path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(rest_.fd, 0) << strerror(errno);
  for (unsigned i = 0; i < kMaxRunningScripts; ++i) submit_held(rest_, "again");
  submit_mark("seventeenth");
  EXPECT_TRUE(run_loop_until([&] { return count("again") == kMaxRunningScripts; },
                             std::chrono::seconds(10)))
      << count("again") << " started";
  run_loop_for(std::chrono::milliseconds(100));
  EXPECT_EQ(count("seventeenth"), 0u);
}

TEST_F(IdleRunner, QueuedCommandsTakeAtMostAMebibyteInAll) {
  ASSERT_NO_FATAL_FAILURE(take_every_slot());
  // Eight commands just short of what one shell argument may be fill all
  // but 576 bytes of the queue.
  const size_t big = 131000;
  static_assert(8 * big <= kMaxQueuedScriptBytes && 9 * big > kMaxQueuedScriptBytes, "");
  auto padded = [&](const std::string& mark) {
    std::string command = "echo " + mark + " >> '" + log_ + "' #";
    command.append(big - command.size(), 'x');
    return command;
  };
  for (int i = 0; i < 8; ++i) submit(padded("big" + std::to_string(i)));
  {
    const StderrToFile err(dir_.file("err"));
    submit(padded("big8"));
    fake_now += 2.0;
    EXPECT_TRUE(err.wait_for_errs(2));
    EXPECT_EQ(err.err_texts(), (Lines{
                                   "script queue full, script not run",
                                   "script queue overflow ended, scripts not run: 1",
                               }));
  }
  // A short one still fits beside the eight.
  submit_mark("small");

  let_go(&first_);
  let_go(&rest_);
  ASSERT_TRUE(run_loop_until([] { return children_left() == 0; }, std::chrono::seconds(10)));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(count("big" + std::to_string(i)), 1u) << i;
  EXPECT_EQ(count("big8"), 0u);
  EXPECT_EQ(count("small"), 1u);
}

TEST_F(IdleRunner, OverflowEndsAfterAQuietSecondWithItsTotal) {
  ASSERT_NO_FATAL_FAILURE(take_every_slot());
  // One command as long as the queue may hold fills it. (Too long for one
  // shell argument, it fails to start once a slot is free, which is all
  // the same to the runner.)
  submit(std::string(kMaxQueuedScriptBytes, ' '));

  const StderrToFile err(dir_.file("err"));
  fake_now = 1000.0;
  submit_mark("x");  // shown at once
  fake_now = 1000.5;
  submit_mark("x");  // held back
  fake_now = 1001.25;
  submit_mark("x");  // a second after the last line shown: shown, with the count
  fake_now = 1001.5;
  submit_mark("x");  // held back
  // Quiet for less than a second: the overflow goes on.
  fake_now = 1002.375;
  run_loop_for(std::chrono::milliseconds(200));
  EXPECT_EQ(err.err_texts(), (Lines{
                                 "script queue full, script not run",
                                 "script queue full, script not run (1 more not shown)",
                             }));
  // A second after the last refusal it is over, with the total.
  fake_now = 1002.5;
  ASSERT_TRUE(err.wait_for_errs(3));
  // The next overflow is reported afresh: its first line does not count the
  // one held back in the last, which the total includes.
  fake_now = 1010.0;
  submit_mark("x");
  fake_now = 1011.0;
  ASSERT_TRUE(err.wait_for_errs(5));
  EXPECT_EQ(err.err_texts(), (Lines{
                                 "script queue full, script not run",
                                 "script queue full, script not run (1 more not shown)",
                                 "script queue overflow ended, scripts not run: 4",
                                 "script queue full, script not run",
                                 "script queue overflow ended, scripts not run: 1",
                             }));
  EXPECT_EQ(count("x"), 0u);
}

}  // namespace
