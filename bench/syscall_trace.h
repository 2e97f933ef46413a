// What a daemon did to the files of its queue directory, read back from a
// trace written by `strace -f -ttt -y -e trace=<kQueueTraceSyscalls> -o FILE`:
// are the segment files only ever appended to, and how often are they synced?
#ifndef QUORREL_BENCH_SYSCALL_TRACE_H_
#define QUORREL_BENCH_SYSCALL_TRACE_H_

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

namespace quorrel_bench {

// The system calls the trace needs, for strace's -e trace=: every way to
// open, write, position, cut, sync, delete or rename a file ("?": a name
// this machine's system-call table lacks is no error).
extern const char kQueueTraceSyscalls[];

// What the trace shows of the segment files ("*.q" in the directory) and
// the directory itself.
struct QueueFileTrace {
  size_t lines = 0;                 // lines read
  size_t files_created = 0;         // segment files opened with O_CREAT
  size_t exclusive_creates = 0;     // of them, with O_EXCL: a file that did not exist
  size_t reopened_for_writing = 0;  // opened for writing without O_CREAT|O_EXCL
  size_t truncating_opens = 0;      // opened with O_TRUNC
  size_t appends = 0;               // write and writev calls on segment files
  uint64_t bytes_appended = 0;      // the bytes those calls wrote
  // Of those, the calls that began at or after the cut-off, and their bytes.
  size_t late_appends = 0;
  uint64_t late_bytes_appended = 0;
  size_t positioned_writes = 0;  // pwrite64, pwritev, pwritev2 on segment files
  size_t truncations = 0;        // ftruncate, fallocate or truncate of segment files
  size_t seeks = 0;              // lseek on segment files
  size_t deletions = 0;          // segment files unlinked
  size_t renames = 0;            // renames involving the directory
  // When each fsync, fdatasync or sync_file_range of a segment file or of
  // the directory began, in seconds since the epoch, in trace order.
  std::vector<double> syncs;
};

// Reads the trace at `trace_path` for the queue directory `queue_dir` (its
// path as the daemon was given it, absolute). Writes that begin at or after
// `cut_off` (seconds since the epoch; 0 for none) are also counted apart.
// Returns false when the file cannot be read.
bool read_queue_trace(const std::string& trace_path, const std::string& queue_dir, double cut_off,
                      QueueFileTrace* out);

// Sync calls grouped into rounds: a call that begins less than `same_round`
// seconds after the one before belongs to the same round (a round syncs the
// files written since the last, one after another, then the directory).
struct SyncRounds {
  size_t calls = 0;
  size_t rounds = 0;
  size_t most_calls = 0;     // in one round
  double longest_round = 0;  // seconds from its first call's beginning to its last's
  // The most rounds that begin within one second of a round's beginning
  // (that round included), less `jitter`: 1 when rounds are at least a
  // second apart, give or take the jitter of the timer that paces them.
  size_t busiest_second = 0;
  // Seconds between the beginnings of the two closest rounds; 0 with fewer
  // than two rounds.
  double shortest_gap = 0;
};

// Groups `syncs` (times in seconds, ascending) into rounds.
SyncRounds sync_rounds(const std::vector<double>& syncs, double same_round, double jitter);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_SYSCALL_TRACE_H_
