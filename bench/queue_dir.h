// What a daemon's queue directory holds, and which files were created in it
// while a figure ran (they may be gone again by its end).
#ifndef QUORREL_BENCH_QUEUE_DIR_H_
#define QUORREL_BENCH_QUEUE_DIR_H_

#include <stddef.h>
#include <stdint.h>

#include <string>

namespace quorrel_bench {

// The segment files ("*.q") in a queue directory.
struct QueueDirUsage {
  size_t files = 0;
  uint64_t bytes = 0;  // their sizes, file headers included
};

// What `dir` holds now; nothing when it does not exist.
QueueDirUsage queue_dir_usage(const std::string& dir);

// Counts the segment files created in one directory from start() on, with
// inotify, so that a file created and deleted between two looks counts too.
class QueueFileWatch {
 public:
  QueueFileWatch() = default;
  ~QueueFileWatch();
  QueueFileWatch(const QueueFileWatch&) = delete;
  QueueFileWatch& operator=(const QueueFileWatch&) = delete;

  // Starts watching `dir`, which must exist. Throws std::runtime_error when
  // it cannot. REQUIRES: not watching.
  void start(const std::string& dir);
  // Segment files created since start(); the events queued so far are read
  // without waiting. -1 when the kernel's event queue overflowed.
  long created();
  // Stops watching (a no-op when not watching).
  void stop();

 private:
  int fd_ = -1;
  long created_ = 0;
  bool overflowed_ = false;
};

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_QUEUE_DIR_H_
