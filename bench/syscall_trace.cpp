#include "bench/syscall_trace.h"

#include <stdlib.h>

#include <fstream>
#include <map>

namespace quorrel_bench {

const char kQueueTraceSyscalls[] =
    "openat,open,creat,write,writev,pwrite64,pwritev,?pwritev2,ftruncate,truncate,fallocate,lseek,"
    "?_llseek,fdatasync,fsync,sync_file_range,unlink,unlinkat,rename,renameat,?renameat2";

namespace {

// One system call, put together from its line or from its unfinished and
// resumed halves.
struct Call {
  std::string name;
  std::string args;    // between the parentheses
  std::string result;  // after " = ", empty when the call never returned
  double began = 0;
};

// The path strace -y shows after the first descriptor in `text`
// ("12</dir/x.q>"), without a " (deleted)" note; empty when none.
std::string annotated_path(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
  if (i == 0 || i >= text.size() || text[i] != '<') return std::string();
  const size_t end = text.find('>', i + 1);
  if (end == std::string::npos) return std::string();
  std::string path = text.substr(i + 1, end - i - 1);
  const std::string deleted = " (deleted)";
  if (path.size() > deleted.size() &&
      path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
    path.resize(path.size() - deleted.size());
  }
  return path;
}

// The first quoted string in `text`, as strace prints it (escapes kept).
std::string first_quoted(const std::string& text) {
  const size_t open = text.find('"');
  if (open == std::string::npos) return std::string();
  const size_t close = text.find('"', open + 1);
  if (close == std::string::npos) return std::string();
  return text.substr(open + 1, close - open - 1);
}

bool ends_with(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

class TraceReader {
 public:
  TraceReader(const std::string& dir, double cut_off, QueueFileTrace* out)
      : dir_(dir), cut_off_(cut_off), out_(out) {}

  void line(const std::string& text);

 private:
  void call(const Call& c);
  bool is_segment(const std::string& path) const {
    return path.size() > dir_.size() + 1 && path.compare(0, dir_.size(), dir_) == 0 &&
           path[dir_.size()] == '/' && ends_with(path, ".q");
  }
  // The segment a path argument names: absolute, or relative to the
  // descriptor before it (unlinkat(3</dir>, "x.q", 0)).
  bool names_segment(const std::string& args) const {
    const std::string name = first_quoted(args);
    if (name.empty()) return false;
    if (name[0] == '/') return is_segment(name);
    return annotated_path(args) == dir_ && ends_with(name, ".q");
  }

  const std::string dir_;
  const double cut_off_;
  QueueFileTrace* out_;
  std::map<long, Call> pending_;  // unfinished calls by thread id
};

void TraceReader::line(const std::string& text) {
  ++out_->lines;
  // "PID SECONDS.MICROS REST"
  char* end = nullptr;
  const long tid = strtol(text.c_str(), &end, 10);
  if (end == text.c_str()) return;
  const double when = strtod(end, &end);
  std::string rest(end);
  const size_t start = rest.find_first_not_of(' ');
  if (start == std::string::npos) return;
  rest.erase(0, start);

  const std::string unfinished = " <unfinished ...>";
  if (rest.compare(0, 5, "<... ") == 0) {
    // "<... name resumed>ARGS) = RESULT"
    const size_t mark = rest.find(" resumed>");
    auto it = pending_.find(tid);
    if (mark == std::string::npos || it == pending_.end()) return;
    Call c = it->second;
    pending_.erase(it);
    std::string tail = rest.substr(mark + 9);
    const size_t eq = tail.rfind(") = ");
    if (eq != std::string::npos) {
      c.args += tail.substr(0, eq);
      c.result = tail.substr(eq + 4);
    }
    call(c);
    return;
  }
  const size_t paren = rest.find('(');
  if (paren == std::string::npos || rest[0] == '+' || rest[0] == '-') return;
  Call c;
  c.name = rest.substr(0, paren);
  c.began = when;
  if (ends_with(rest, unfinished)) {
    c.args = rest.substr(paren + 1, rest.size() - unfinished.size() - paren - 1);
    pending_[tid] = c;
    return;
  }
  const size_t eq = rest.rfind(") = ");
  if (eq == std::string::npos) return;
  c.args = rest.substr(paren + 1, eq - paren - 1);
  c.result = rest.substr(eq + 4);
  call(c);
}

void TraceReader::call(const Call& c) {
  const long result = c.result.empty() ? -1 : strtol(c.result.c_str(), nullptr, 10);
  const std::string fd_path = annotated_path(c.args);
  const bool on_segment = is_segment(fd_path);
  const std::string& n = c.name;
  if (n == "openat" || n == "open" || n == "creat") {
    if (result < 0 || !is_segment(annotated_path(c.result))) return;
    const bool creates = n == "creat" || c.args.find("O_CREAT") != std::string::npos;
    const bool exclusive = c.args.find("O_EXCL") != std::string::npos;
    const bool writes = n == "creat" || c.args.find("O_WRONLY") != std::string::npos ||
                        c.args.find("O_RDWR") != std::string::npos;
    if (creates) ++out_->files_created;
    if (creates && exclusive) ++out_->exclusive_creates;
    if (writes && !(creates && exclusive)) ++out_->reopened_for_writing;
    if (n == "creat" || c.args.find("O_TRUNC") != std::string::npos) ++out_->truncating_opens;
  } else if (n == "write" || n == "writev") {
    if (!on_segment) return;
    const uint64_t bytes = result > 0 ? static_cast<uint64_t>(result) : 0;
    ++out_->appends;
    out_->bytes_appended += bytes;
    if (cut_off_ > 0 && c.began >= cut_off_) {
      ++out_->late_appends;
      out_->late_bytes_appended += bytes;
    }
  } else if (n == "pwrite64" || n == "pwritev" || n == "pwritev2") {
    if (on_segment) ++out_->positioned_writes;
  } else if (n == "ftruncate" || n == "fallocate") {
    if (on_segment) ++out_->truncations;
  } else if (n == "truncate") {
    if (is_segment(first_quoted(c.args))) ++out_->truncations;
  } else if (n == "lseek" || n == "_llseek") {
    if (on_segment) ++out_->seeks;
  } else if (n == "unlink" || n == "unlinkat") {
    if (result == 0 && names_segment(c.args)) ++out_->deletions;
  } else if (n.compare(0, 6, "rename") == 0) {
    if (c.args.find(dir_) != std::string::npos) ++out_->renames;
  } else if (n == "fsync" || n == "fdatasync" || n == "sync_file_range") {
    if (on_segment || fd_path == dir_) out_->syncs.push_back(c.began);
  }
}

}  // namespace

bool read_queue_trace(const std::string& trace_path, const std::string& queue_dir, double cut_off,
                      QueueFileTrace* out) {
  std::ifstream in(trace_path);
  if (!in) return false;
  *out = QueueFileTrace();
  TraceReader reader(queue_dir, cut_off, out);
  for (std::string text; std::getline(in, text);) reader.line(text);
  return true;
}

SyncRounds sync_rounds(const std::vector<double>& syncs, double same_round, double jitter) {
  SyncRounds r;
  r.calls = syncs.size();
  std::vector<double> starts;
  size_t calls = 0;
  for (size_t i = 0; i < syncs.size(); ++i) {
    if (i == 0 || syncs[i] - syncs[i - 1] >= same_round) {
      starts.push_back(syncs[i]);
      calls = 0;
    }
    ++calls;
    if (calls > r.most_calls) r.most_calls = calls;
    if (syncs[i] - starts.back() > r.longest_round) r.longest_round = syncs[i] - starts.back();
  }
  r.rounds = starts.size();
  size_t later = 0;
  for (size_t i = 0; i < starts.size(); ++i) {
    if (later < i) later = i;
    while (later + 1 < starts.size() && starts[later + 1] - starts[i] < 1.0 - jitter) ++later;
    if (later - i + 1 > r.busiest_second) r.busiest_second = later - i + 1;
    if (i > 0) {
      const double gap = starts[i] - starts[i - 1];
      if (i == 1 || gap < r.shortest_gap) r.shortest_gap = gap;
    }
  }
  return r;
}

}  // namespace quorrel_bench
