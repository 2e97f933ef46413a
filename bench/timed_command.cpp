#include "bench/timed_command.h"

#include <errno.h>
#include <fcntl.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace quorrel_bench {

TimedRun run_timed(const std::vector<std::string>& argv, const std::string& log_path) {
  TimedRun run;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  pid_t pid = -1;
  run.started = Clock::now();
  const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) {
    run.ended = Clock::now();
    run.error = "cannot start " + argv[0] + ": " + strerror(rc);
    return run;
  }
  int status = 0;
  pid_t waited;
  do {
    waited = waitpid(pid, &status, 0);
  } while (waited < 0 && errno == EINTR);
  run.ended = Clock::now();
  run.ok = waited == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  if (!run.ok) {
    std::string output;
    quorrel_test::read_file(log_path, &output);
    run.error = argv[0] + " failed (status " + std::to_string(status) + "): " + output;
  }
  return run;
}

}  // namespace quorrel_bench
