#include "bench/queue_dir.h"

#include <dirent.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace quorrel_bench {
namespace {

bool is_segment_name(const char* name) {
  const size_t n = strlen(name);
  return n > 2 && strcmp(name + n - 2, ".q") == 0;
}

}  // namespace

QueueDirUsage queue_dir_usage(const std::string& dir) {
  QueueDirUsage usage;
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return usage;
  while (const dirent* e = readdir(d)) {
    if (!is_segment_name(e->d_name)) continue;
    struct stat st;
    // A file deleted since readdir saw it no longer counts.
    if (fstatat(dirfd(d), e->d_name, &st, 0) != 0) continue;
    ++usage.files;
    usage.bytes += static_cast<uint64_t>(st.st_size);
  }
  closedir(d);
  return usage;
}

QueueFileWatch::~QueueFileWatch() { stop(); }

void QueueFileWatch::start(const std::string& dir) {
  fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  if (fd_ < 0) throw std::runtime_error(std::string("inotify_init1: ") + strerror(errno));
  if (inotify_add_watch(fd_, dir.c_str(), IN_CREATE) < 0) {
    const int err = errno;
    stop();
    throw std::runtime_error("inotify_add_watch " + dir + ": " + strerror(err));
  }
  created_ = 0;
  overflowed_ = false;
}

long QueueFileWatch::created() {
  if (fd_ < 0) return overflowed_ ? -1 : created_;
  alignas(inotify_event) char buf[16384];
  for (;;) {
    const ssize_t n = read(fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;  // EAGAIN: nothing more queued
    for (ssize_t at = 0; at < n;) {
      const inotify_event* ev = reinterpret_cast<const inotify_event*>(buf + at);
      if ((ev->mask & IN_Q_OVERFLOW) != 0) overflowed_ = true;
      if (ev->len > 0 && is_segment_name(ev->name)) ++created_;
      at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
    }
  }
  return overflowed_ ? -1 : created_;
}

void QueueFileWatch::stop() {
  if (fd_ < 0) return;
  close(fd_);
  fd_ = -1;
}

}  // namespace quorrel_bench
