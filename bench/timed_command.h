// Runs one command to completion and times it to the microsecond.
#ifndef QUORREL_BENCH_TIMED_COMMAND_H_
#define QUORREL_BENCH_TIMED_COMMAND_H_

#include <string>
#include <vector>

#include "tests/support/process.h"

namespace quorrel_bench {

using quorrel_test::Clock;

// The outcome of run_timed.
struct TimedRun {
  bool ok = false;  // started, and exited with status 0
  Clock::time_point started;
  Clock::time_point ended;  // when waitpid reported the exit
  std::string error;        // why it was not ok, with the command's output
};

// Starts `argv` (argv[0] searched in PATH) with standard input from
// /dev/null and both output streams in `log_path`, and blocks in waitpid
// until it ends, so that no polling interval is added to the time.
TimedRun run_timed(const std::vector<std::string>& argv, const std::string& log_path);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_TIMED_COMMAND_H_
