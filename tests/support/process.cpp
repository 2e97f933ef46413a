#include "tests/support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "tests/support/temp_dir.h"

extern char** environ;

namespace quorrel_test {

Process::~Process() {
  if (pid_ > 0 && !reaped_) stop();
  stop_reader();
}

void Process::set_env(const std::string& name, const std::string& value) {
  env_overrides_.push_back(name + "=" + value);
}

bool Process::start(const std::string& path, const std::vector<std::string>& argv) {
  int out_pipe[2];
  int err_pipe[2];
  // O_CLOEXEC on both ends: only the dup2'ed copies in this child survive
  // exec, so no other child (started concurrently) keeps these pipes open.
  if (pipe2(out_pipe, O_CLOEXEC) != 0) return false;
  if (pipe2(err_pipe, O_CLOEXEC) != 0) {
    close(out_pipe[0]);
    close(out_pipe[1]);
    return false;
  }

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);

  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  std::vector<char*> env;
  for (char** e = environ; *e != nullptr; ++e) {
    bool overridden = false;
    for (const std::string& o : env_overrides_) {
      const std::string name = o.substr(0, o.find('=') + 1);
      overridden = overridden || std::string(*e).compare(0, name.size(), name) == 0;
    }
    if (!overridden) env.push_back(*e);
  }
  for (const std::string& o : env_overrides_) env.push_back(const_cast<char*>(o.c_str()));
  env.push_back(nullptr);

  pid_t pid = -1;
  int rc = path.find('/') == std::string::npos
               ? posix_spawnp(&pid, path.c_str(), &actions, nullptr, args.data(), env.data())
               : posix_spawn(&pid, path.c_str(), &actions, nullptr, args.data(), env.data());
  posix_spawn_file_actions_destroy(&actions);
  close(out_pipe[1]);
  close(err_pipe[1]);
  if (rc != 0) {
    close(out_pipe[0]);
    close(err_pipe[0]);
    return false;
  }
  pid_ = pid;
  reader_ = std::thread(&Process::reader_main, this, out_pipe[0], err_pipe[0]);
  return true;
}

void Process::reader_main(int out_fd, int err_fd) {
  struct pollfd fds[2] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}};
  int open_count = 2;
  char buf[4096];
  while (open_count > 0) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stop_reading_) break;
    }
    int n = poll(fds, 2, 50);
    if (n < 0 && errno != EINTR) break;
    if (n <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t got = read(fds[i].fd, buf, sizeof buf);
      if (got < 0 && errno == EINTR) continue;
      if (got <= 0) {
        close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
        continue;
      }
      std::lock_guard<std::mutex> lock(mu_);
      if (i == 0) {
        out_.append(buf, static_cast<size_t>(got));
      } else {
        err_.append(buf, static_cast<size_t>(got));
        partial_line_.append(buf, static_cast<size_t>(got));
        size_t nl;
        while ((nl = partial_line_.find('\n')) != std::string::npos) {
          lines_.push_back({Clock::now(), partial_line_.substr(0, nl)});
          partial_line_.erase(0, nl + 1);
        }
      }
      cv_.notify_all();
    }
  }
  for (struct pollfd& p : fds) {
    if (p.fd >= 0) close(p.fd);
  }
  std::lock_guard<std::mutex> lock(mu_);
  reader_done_ = true;
  cv_.notify_all();
}

void Process::stop_reader() {
  if (!reader_.joinable()) return;
  {
    // Background children of the child (scripts) may hold the pipes open
    // long after the child itself ended: wait a little for end of file, then
    // stop reading regardless.
    std::unique_lock<std::mutex> lock(mu_);
    cv_.wait_for(lock, milliseconds(500), [this] { return reader_done_; });
    stop_reading_ = true;
  }
  reader_.join();
}

void Process::record_status(int status) {
  status_ = status;
  reaped_ = true;
}

bool Process::running() {
  if (pid_ <= 0 || reaped_) return false;
  int status = 0;
  pid_t r = waitpid(pid_, &status, WNOHANG);
  if (r == pid_) {
    record_status(status);
    return false;
  }
  return true;
}

bool Process::wait_exit(milliseconds timeout) {
  return wait_until([this] { return !running(); }, timeout);
}

int Process::exit_code() const {
  if (!reaped_ || !WIFEXITED(status_)) return -1;
  return WEXITSTATUS(status_);
}

int Process::term_signal() const {
  if (!reaped_ || !WIFSIGNALED(status_)) return 0;
  return WTERMSIG(status_);
}

void Process::stop(milliseconds grace) {
  if (!running()) return;
  kill(pid_, SIGTERM);
  if (wait_exit(grace)) return;
  kill_now();
}

void Process::kill_now() {
  if (!running()) return;
  kill(pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  record_status(status);
}

bool Process::wait_output_closed(milliseconds timeout) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [this] { return reader_done_; });
}

std::string Process::stdout_text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return out_;
}

std::string Process::stderr_text() const {
  std::lock_guard<std::mutex> lock(mu_);
  return err_;
}

std::vector<OutputLine> Process::stderr_lines() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lines_;
}

size_t count_occurrences(const std::string& haystack, const std::string& needle) {
  if (needle.empty()) return 0;
  size_t count = 0;
  for (size_t pos = haystack.find(needle); pos != std::string::npos;
       pos = haystack.find(needle, pos + needle.size())) {
    ++count;
  }
  return count;
}

size_t Process::count_in_stderr(const std::string& needle) const {
  std::lock_guard<std::mutex> lock(mu_);
  return count_occurrences(err_, needle);
}

bool Process::wait_for_stderr(const std::string& needle, milliseconds timeout, size_t count) const {
  std::unique_lock<std::mutex> lock(mu_);
  return cv_.wait_for(lock, timeout, [&] { return count_occurrences(err_, needle) >= count; });
}

CommandResult run_command(const std::vector<std::string>& argv, milliseconds timeout) {
  CommandResult result;
  Process child;
  if (argv.empty() || !child.start(argv[0], argv)) {
    result.err = "cannot start " + (argv.empty() ? std::string("(nothing)") : argv[0]);
    return result;
  }
  result.finished = child.wait_exit(timeout);
  if (!result.finished) child.kill_now();
  result.exit_code = child.exit_code();
  child.wait_output_closed(milliseconds(2000));
  result.out = child.stdout_text();
  result.err = child.stderr_text();
  return result;
}

namespace {

// The figure after `field` (e.g. "VmRSS:") in the process's status, or -1.
long status_kib(pid_t pid, const std::string& field) {
  std::string status;
  if (!read_file("/proc/" + std::to_string(pid) + "/status", &status)) return -1;
  const size_t at = status.find("\n" + field);
  return at == std::string::npos ? -1 : strtol(status.c_str() + at + 1 + field.size(), nullptr, 10);
}

}  // namespace

long resident_kib(pid_t pid) { return status_kib(pid, "VmRSS:"); }

long peak_resident_kib(pid_t pid) { return status_kib(pid, "VmHWM:"); }

std::string child_states(pid_t parent) {
  std::string states;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return states;
  while (struct dirent* entry = readdir(proc)) {
    std::string stat;
    if (!quorrel_test::read_file(std::string("/proc/") + entry->d_name + "/stat", &stat)) continue;
    // "pid (comm) state ppid ...": comm may hold anything but ends at the last ')'.
    const size_t close = stat.rfind(')');
    char state = 0;
    long ppid = 0;
    if (close != std::string::npos &&
        sscanf(stat.c_str() + close + 1, " %c %ld", &state, &ppid) == 2 && ppid == parent) {
      states += state;
    }
  }
  closedir(proc);
  return states;
}

}  // namespace quorrel_test
