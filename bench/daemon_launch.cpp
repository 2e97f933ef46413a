#include "bench/daemon_launch.h"

#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <stdexcept>

#include "tests/support/temp_dir.h"

namespace quorrel_bench {

LaunchedDaemon launch_daemon(const std::string& tag, const std::vector<std::string>& args,
                             const std::string& program, const std::string& wrapper,
                             const std::string& link_dir) {
  LaunchedDaemon launched;
  launched.daemon = std::make_unique<quorrel_test::QuorreldProcess>();
  const std::string name = quorrel_test::unique_daemon_name("bench_" + tag);
  bool started;
  if (wrapper.empty()) {
    started = launched.daemon->start(name, args, program);
  } else {
    const std::string link = link_dir + "/" + name;
    if (symlink(program.c_str(), link.c_str()) != 0) {
      throw std::runtime_error("cannot link the daemon as " + link);
    }
    quorrel_test::Process& p = launched.daemon->process();
    const char* path = getenv("PATH");
    p.set_env("PATH", link_dir + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
    std::vector<std::string> argv;
    std::istringstream words(wrapper);
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(name);
    argv.insert(argv.end(), args.begin(), args.end());
    started = p.start(argv[0], argv);
    launched.lock.path = quorrel_test::lock_file_path(name);
  }
  if (!started) throw std::runtime_error("cannot start " + program);
  return launched;
}

pid_t only_child(pid_t pid) {
  std::string children;
  const std::string path =
      "/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children";
  if (!quorrel_test::read_file(path, &children)) return -1;
  std::istringstream words(children);
  long first = -1;
  long more = -1;
  if (!(words >> first) || first <= 0 || (words >> more)) return -1;
  return static_cast<pid_t>(first);
}

}  // namespace quorrel_bench
