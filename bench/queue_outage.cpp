#include "bench/queue_outage.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "bench/counting_subscriber.h"
#include "bench/daemon_launch.h"
#include "bench/datagram_sender.h"
#include "bench/persistent_broker.h"
#include "bench/process_watch.h"
#include "bench/queue_dir.h"
#include "bench/syscall_trace.h"
#include "server/queue_spool.h"
#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quorrel_bench {
namespace {

using quorrel_test::TempDir;

const char kTopic[] = "bench/p7/";
// The subscriber's client id: the broker keeps its session while it is away.
const char kSubscriberId[] = "p7-sub";
// The daemon's WARNING at the end of an episode in which the oldest queued
// messages gave way, after the count.
const char kOverflowHead[] = "queue full while the session was down: ";
// How far above its idle size the daemon may grow while its queue fills
// and drains.
constexpr long kRssAllowanceKib = 3 * 1024;
// A sync call less than this after the one before belongs to its round.
constexpr double kSameSyncRound = 0.05;
// Rounds this much less than a second apart still count as one a second:
// the daemon's timer counts its second from the loop's time, taken a little
// before the round's first call.
constexpr double kSyncTimerJitter = 0.01;

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string rate_text(double per_second) { return fixed(per_second / 1000, 1) + " k msg/s"; }
std::string kib_text(long kib) { return std::to_string(kib) + " KiB"; }
std::string ms_text(double seconds) { return fixed(seconds * 1000, 1) + " ms"; }

// Seconds since the epoch, the clock strace -ttt stamps calls with.
double wall_seconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The messages the daemon's overflow WARNING lines in `log` say gave way.
size_t dropped_for_newer(const std::string& log) {
  size_t total = 0;
  for (size_t at = log.find(kOverflowHead); at != std::string::npos;
       at = log.find(kOverflowHead, at + 1)) {
    total += strtoul(log.c_str() + at + sizeof kOverflowHead - 1, nullptr, 10);
  }
  return total;
}

// What one delivery left out: "" when every expected message came once, in
// order; else a clause for the row.
std::string delivery_faults(const Delivery& d, size_t expected) {
  std::string faults;
  if (d.delivered != expected) {
    faults += ", " + std::to_string(d.delivered) + " of " + std::to_string(expected) + " arrived";
  }
  if (d.out_of_order != 0) faults += ", " + std::to_string(d.out_of_order) + " out of order";
  if (d.duplicates != 0) faults += ", " + std::to_string(d.duplicates) + " twice";
  return faults;
}

// One daemon of the figure. Destroying it while the daemon still runs
// under strace ends the daemon first: strace, stopped, would leave it
// running on its own.
struct QueueDaemon {
  LaunchedDaemon launched;
  pid_t pid = -1;  // the daemon itself (under strace, the tool's child)
  std::string id;  // the client id it is given; it adds digits of its own
  std::string dgram_path;
  Clock::time_point started;  // when it was launched

  QueueDaemon() = default;
  QueueDaemon(QueueDaemon&& other) noexcept
      : launched(std::move(other.launched)),
        pid(other.pid),
        id(std::move(other.id)),
        dgram_path(std::move(other.dgram_path)),
        started(other.started) {
    other.pid = -1;
  }
  QueueDaemon& operator=(QueueDaemon&&) = delete;
  ~QueueDaemon() {
    if (pid > 0 && launched.daemon && pid != launched.daemon->process().pid() &&
        launched.daemon->process().running()) {
      kill(pid, SIGKILL);
    }
  }
};

class QueueOutage {
 public:
  explicit QueueOutage(const QueueOutageConfig& config) : config_(config), dir_("qq") {}

  std::vector<Row> run(double live_rate);

 private:
  void outage_and_drain();
  void full_queue();
  void traced_fill();

  // Starts a daemon relaying to the figure's broker at QoS 1 with a queue
  // in `queue_dir`, under strace tracing `syscalls` into `trace_path` when
  // `syscalls` is not empty; returns once its sockets are there.
  QueueDaemon start_daemon(const std::string& tag, const std::string& queue_dir,
                           const std::string& syscalls, const std::string& trace_path);
  // SIGTERM to the daemon, an orderly stop; throws unless it ends with
  // status 0 within 10 s.
  void stop_daemon(QueueDaemon* d);
  // A subscriber with the kept session, counting `count` messages of
  // `prefix` (armed before it connects: what the broker kept for it comes
  // at once).
  std::unique_ptr<CountingSubscriber> subscribe(const std::string& prefix, size_t count,
                                                size_t complete_after = 0);
  // One message's record as the daemon writes it (every file it writes is
  // of the current format): its header and the payload.
  uint64_t record_bytes() const { return kSpoolRecordHeaderBytes + config_.size; }
  // Whole records in the segment files of `queue_dir`.
  size_t stored_records(const std::string& queue_dir) const;
  // Waits until `queue_dir` holds `records` records; throws when it does not.
  void wait_stored(const std::string& queue_dir, size_t records, milliseconds timeout);
  std::string anchor_name() const {
    return live_from_p2_ ? "P2 QoS 1 rate" : "live rate of the same daemon";
  }

  const QueueOutageConfig config_;
  TempDir dir_;
  PersistentBroker broker_;
  std::vector<Row> rows_;
  double anchor_ = 0;  // messages per second the drain rates are held to
  bool live_from_p2_ = false;
  bool strace_ = false;  // strace can be run: the disk rows are measured
};

QueueDaemon QueueOutage::start_daemon(const std::string& tag, const std::string& queue_dir,
                                      const std::string& syscalls, const std::string& trace_path) {
  QueueDaemon d;
  d.id = "p7-" + tag;
  d.dgram_path = dir_.file(tag + ".dgram");
  const std::string stream_path = dir_.file(tag + ".sock");
  const std::vector<std::string> args = {
      "--host",     "127.0.0.1",  "-p",          std::to_string(broker_.port()),
      "-t",         kTopic + tag, "--unixsock",  stream_path,
      "-u",         d.dgram_path, "-q",          "1",
      "-i",         d.id,         "--queuesize", std::to_string(config_.queue_kib),
      "--queuedir", queue_dir};
  // --seccomp-bpf: only the traced calls stop the daemon.
  const std::string wrapper =
      syscalls.empty()
          ? ""
          : "strace -f --seccomp-bpf -ttt -y -e trace=" + syscalls + " -o " + trace_path;
  d.started = Clock::now();
  d.launched = launch_daemon("p7_" + tag, args, QUORRELD_PATH, wrapper, dir_.path());
  quorrel_test::Process& p = d.launched.daemon->process();
  if (!d.launched.daemon->wait_for_sockets(stream_path, d.dgram_path, milliseconds(20000))) {
    throw std::runtime_error("p7: quorreld made no sockets: " + p.stderr_text());
  }
  if (syscalls.empty()) {
    d.pid = p.pid();
  } else {
    quorrel_test::wait_until([&] { return (d.pid = only_child(p.pid())) > 0; }, milliseconds(5000));
    if (d.pid <= 0) throw std::runtime_error("p7: no daemon under strace");
  }
  return d;
}

void QueueOutage::stop_daemon(QueueDaemon* d) {
  quorrel_test::Process& p = d->launched.daemon->process();
  kill(d->pid, SIGTERM);
  if (!p.wait_exit(milliseconds(10000)) || p.exit_code() != 0) {
    throw std::runtime_error("p7: " + d->id + " did not stop in order: " + p.stderr_text());
  }
}

std::unique_ptr<CountingSubscriber> QueueOutage::subscribe(const std::string& prefix, size_t count,
                                                           size_t complete_after) {
  auto sub = std::make_unique<CountingSubscriber>(kSubscriberId);
  sub->expect_sequence(prefix, count, complete_after);
  if (!sub->start(broker_.port(), std::string(kTopic) + "#", 1)) {
    throw std::runtime_error("p7: the subscriber did not connect");
  }
  return sub;
}

size_t QueueOutage::stored_records(const std::string& queue_dir) const {
  const QueueDirUsage usage = queue_dir_usage(queue_dir);
  const uint64_t headers = uint64_t{usage.files} * kSpoolFileHeaderBytes;
  return usage.bytes > headers ? static_cast<size_t>((usage.bytes - headers) / record_bytes()) : 0;
}

void QueueOutage::wait_stored(const std::string& queue_dir, size_t records, milliseconds timeout) {
  if (!quorrel_test::wait_until([&] { return stored_records(queue_dir) >= records; }, timeout)) {
    throw std::runtime_error("p7: the daemon queued " + std::to_string(stored_records(queue_dir)) +
                             " of " + std::to_string(records) + " messages");
  }
}

std::vector<Row> QueueOutage::run(double live_rate) {
  anchor_ = live_rate;
  live_from_p2_ = live_rate > 0;
  const quorrel_test::CommandResult probe = quorrel_test::run_command({"strace", "-V"});
  strace_ = probe.finished && probe.exit_code == 0;
  if (!strace_) fprintf(stderr, "bench: p7: strace is not installed: no disk trace\n");
  // The subscriber's session, which the broker keeps from now on: whatever
  // the daemon publishes before the subscriber is back waits for it.
  broker_.start();
  subscribe("", 0).reset();
  broker_.stop();
  outage_and_drain();
  full_queue();
  if (strace_) {
    traced_fill();
  } else {
    rows_.push_back({"P7 disk", "sync rounds and appends (a fill under strace)",
                     "not measured: no strace", "",
                     "≤ 1 sync round per second; appended only, nothing rewritten", ""});
  }
  return rows_;
}

// 200,000 messages into an empty queue while the broker is away; then the
// broker comes back and the queue drains. Not under strace: a traced daemon
// drains several times slower, even with only its rare calls traced.
void QueueOutage::outage_and_drain() {
  const size_t n = config_.count;
  const double payload = static_cast<double>(n * config_.size);
  fprintf(stderr, "bench: p7: %zu messages into the queue while the broker is away\n", n);
  const std::string queue_dir = dir_.file("outage.queue");
  QueueDaemon d = start_daemon("outage", queue_dir, "", "");
  std::this_thread::sleep_for(milliseconds(300));
  const long idle = quorrel_test::resident_kib(d.pid);
  const long long written_before = storage_write_bytes(d.pid);
  RssSampler rss;
  rss.start(d.pid, milliseconds(config_.rss_interval_ms));

  const Clock::time_point fill_start = send_datagrams(d.dgram_path, "p7 outage ", n, config_.size);
  wait_stored(queue_dir, n, milliseconds(60000));
  const double fill_seconds = seconds_between(fill_start, Clock::now());
  const long long written = storage_write_bytes(d.pid) - written_before;
  const QueueDirUsage filled = queue_dir_usage(queue_dir);

  fprintf(stderr, "bench: p7: the broker is back, draining\n");
  // Before the start: the daemon may connect before start() has seen the
  // broker take connections.
  const Clock::time_point back = Clock::now();
  broker_.start();
  std::unique_ptr<CountingSubscriber> sub = subscribe("p7 outage ", n);
  const Delivery drained = sub->wait(milliseconds(30000));
  rss.stop();
  const long hwm = quorrel_test::peak_resident_kib(d.pid);
  const long peak = rss.peak_kib() > hwm ? rss.peak_kib() : hwm;
  if (drained.delivered == 0) throw std::runtime_error("p7: nothing drained");
  const Clock::time_point session = broker_.connected_at(d.id, back, milliseconds(1000));
  const Clock::time_point sub_session =
      broker_.connected_at(kSubscriberId, back, milliseconds(1000));
  // The segment being read goes once it has been handed over whole.
  quorrel_test::wait_until([&] { return queue_dir_usage(queue_dir).files == 0; },
                           milliseconds(3000));
  const QueueDirUsage left = queue_dir_usage(queue_dir);

  // The same daemon live, to the same subscriber: the anchor when P2 did
  // not run, and the rate the drain would have had without an outage.
  sub->expect_sequence("p7 live ", n);
  const long long written_before_live = storage_write_bytes(d.pid);
  const Clock::time_point live_start = send_datagrams(d.dgram_path, "p7 live ", n, config_.size);
  const Delivery live = sub->wait(milliseconds(30000));
  const long long written_live = storage_write_bytes(d.pid) - written_before_live;
  const double same_daemon_rate = live.delivered > 0 ? static_cast<double>(live.delivered) /
                                                           seconds_between(live_start, live.last)
                                                     : 0;
  sub.reset();
  stop_daemon(&d);
  broker_.stop();
  if (!live_from_p2_) anchor_ = same_daemon_rate;

  const double drain_rate = drained.delivered > 1 ? static_cast<double>(drained.delivered - 1) /
                                                        seconds_between(drained.first, drained.last)
                                                  : 0;
  const std::string faults = delivery_faults(drained, n);
  const std::string figure =
      "P7 queue: " + std::to_string(n) + " × " + std::to_string(config_.size) +
      " B queued on disk in an outage (QoS 1, " + std::to_string(config_.queue_kib) + " KiB queue)";
  rows_.push_back(
      {figure, "drain rate, first to last message at the subscriber" + faults,
       rate_text(drain_rate), anchor_ > 0 ? ratio_text(drain_rate / anchor_) : "",
       "≥ 0.9× " + anchor_name() + ", all in order",
       faults.empty() && anchor_ > 0 ? verdict(drain_rate / anchor_, 0.9, false) : "missed"});
  if (live_from_p2_) {
    rows_.push_back({"", "P2 QoS 1 rate (64 B datagrams, no queue), the anchor", rate_text(anchor_),
                     ratio_text(1), "", ""});
  }
  rows_.push_back({"",
                   "the same daemon live after the drain, blocking sender" +
                       delivery_faults(live, n) + "; " +
                       bytes_text(static_cast<double>(written_live)) + " sent to storage meanwhile",
                   rate_text(same_daemon_rate),
                   anchor_ > 0 ? ratio_text(same_daemon_rate / anchor_) : "", "", ""});
  rows_.push_back(
      {"",
       "peak RSS from the start through the fill and the drain (VmHWM; VmRSS every " +
           std::to_string(config_.rss_interval_ms) + " ms: " + std::to_string(rss.samples()) +
           " samples, largest " + kib_text(rss.peak_kib()) + ")",
       kib_text(peak), "+" + std::to_string(peak - idle) + " KiB over idle " + kib_text(idle),
       "≤ idle + 3 MiB", peak - idle <= kRssAllowanceKib ? "holds" : "missed"});
  rows_.push_back({"",
                   "bytes sent to storage while filling (write_bytes of the daemon), against the "
                   "payload",
                   bytes_text(static_cast<double>(written)),
                   ratio_text(static_cast<double>(written) / payload), "≤ 1.15× payload",
                   verdict(static_cast<double>(written) / payload, 1.15, true)});
  rows_.push_back({"",
                   "segment files after the fill: " + std::to_string(filled.files) +
                       " files; fill at " + rate_text(static_cast<double>(n) / fill_seconds) +
                       " from a blocking sender",
                   bytes_text(static_cast<double>(filled.bytes)),
                   ratio_text(static_cast<double>(filled.bytes) / payload), "", ""});
  std::string order = "";
  if (session != Clock::time_point() && sub_session != Clock::time_point() &&
      sub_session > session) {
    order = " (the subscriber came back " + ms_text(seconds_between(session, sub_session)) +
            " after the daemon)";
  }
  rows_.push_back({"", "first message at the subscriber after the broker's CONNACK" + order,
                   session == Clock::time_point()
                       ? "not logged"
                       : ms_text(seconds_between(session, drained.first)),
                   "", "", ""});
  rows_.push_back(
      {"", "segment files left 3 s after the drain", std::to_string(left.files), "", "", ""});
}

// More than fits offered to the queue while the broker is away, so that the
// oldest give way; then the daemon is stopped and started again on the
// full directory with the broker up.
void QueueOutage::full_queue() {
  const uint64_t capacity = uint64_t{config_.queue_kib} * 1024;
  const size_t fits = static_cast<size_t>(capacity / record_bytes());
  const size_t offered =
      static_cast<size_t>(std::ceil(config_.overfill * static_cast<double>(fits)));
  fprintf(stderr, "bench: p7: %zu messages offered to a %u KiB queue\n", offered,
          static_cast<unsigned>(config_.queue_kib));
  const std::string queue_dir = dir_.file("full.queue");
  QueueDaemon fill = start_daemon("full", queue_dir, "", "");
  std::this_thread::sleep_for(milliseconds(300));
  const long idle = quorrel_test::resident_kib(fill.pid);
  RssSampler rss;
  rss.start(fill.pid, milliseconds(config_.rss_interval_ms));
  send_datagrams(fill.dgram_path, "p7 full ", offered, config_.size);
  // Every datagram is kept or counted as given way; the count comes at the
  // end of the episode, a second after the last.
  quorrel_test::Process& fp = fill.launched.daemon->process();
  size_t dropped = 0;
  size_t kept = 0;
  quorrel_test::wait_until(
      [&] {
        dropped = dropped_for_newer(fp.stderr_text());
        kept = stored_records(queue_dir);
        return dropped + kept >= offered;
      },
      milliseconds(30000));
  rss.stop();
  const long fill_hwm = quorrel_test::peak_resident_kib(fill.pid);
  const long fill_peak = rss.peak_kib() > fill_hwm ? rss.peak_kib() : fill_hwm;
  stop_daemon(&fill);
  kept = stored_records(queue_dir);
  const QueueDirUsage full = queue_dir_usage(queue_dir);

  fprintf(stderr, "bench: p7: restart on the full queue with the broker up\n");
  broker_.start();
  std::unique_ptr<CountingSubscriber> sub = subscribe("p7 full ", offered, kept);
  QueueDaemon again = start_daemon("restart", queue_dir, "", "");
  RssSampler rss_again;
  rss_again.start(again.pid, milliseconds(config_.rss_interval_ms));
  const Clock::time_point session =
      broker_.connected_at(again.id, again.started, milliseconds(60000));
  const Delivery drained = sub->wait(milliseconds(30000));
  rss_again.stop();
  const long hwm = quorrel_test::peak_resident_kib(again.pid);
  const long peak = rss_again.peak_kib() > hwm ? rss_again.peak_kib() : hwm;
  sub.reset();
  stop_daemon(&again);
  broker_.stop();
  if (session == Clock::time_point()) {
    throw std::runtime_error("p7: the restarted daemon never connected; its log: " +
                             again.launched.daemon->process().stderr_text() +
                             "; the broker's: " + broker_.log());
  }
  if (drained.delivered == 0) throw std::runtime_error("p7: nothing drained after the restart");

  // The kept messages are the newest: numbers offered - kept to offered - 1.
  std::string faults = delivery_faults(drained, kept);
  if (drained.lowest != offered - kept) {
    faults += ", the oldest to arrive is number " + std::to_string(drained.lowest) + ", not " +
              std::to_string(offered - kept);
  }
  const double drain_rate = drained.delivered > 1 ? static_cast<double>(drained.delivered - 1) /
                                                        seconds_between(drained.first, drained.last)
                                                  : 0;
  const std::string figure = "P7 full queue: " + std::to_string(offered) + " × " +
                             std::to_string(config_.size) + " B offered to a " +
                             bytes_text(static_cast<double>(capacity)) + " queue in an outage";
  rows_.push_back({figure,
                   "peak RSS while filling, the oldest giving way (VmHWM; VmRSS every " +
                       std::to_string(config_.rss_interval_ms) + " ms, largest " +
                       kib_text(rss.peak_kib()) + ")",
                   kib_text(fill_peak),
                   "+" + std::to_string(fill_peak - idle) + " KiB over idle " + kib_text(idle),
                   "≤ idle + 3 MiB", fill_peak - idle <= kRssAllowanceKib ? "holds" : "missed"});
  rows_.push_back({"",
                   "kept: " + std::to_string(kept) + " messages in " + std::to_string(full.files) +
                       " files; given way: " + std::to_string(dropped),
                   bytes_text(static_cast<double>(full.bytes)),
                   ratio_text(static_cast<double>(full.bytes) / static_cast<double>(capacity)) +
                       " of the queue",
                   "", ""});
  rows_.push_back({"", "restarted on the full directory: from its start to the broker's CONNACK",
                   ms_text(seconds_between(again.started, session)), "", "", ""});
  rows_.push_back({"", "first message at the subscriber after the broker's CONNACK",
                   ms_text(seconds_between(session, drained.first)), "", "≤ 1 s",
                   seconds_between(session, drained.first) <= 1.0 ? "holds" : "missed"});
  rows_.push_back({"", "drain rate of the full queue after the restart" + faults,
                   rate_text(drain_rate), anchor_ > 0 ? ratio_text(drain_rate / anchor_) : "",
                   "every kept message, in order", faults.empty() ? "holds" : "missed"});
  rows_.push_back({"",
                   "peak RSS of the restarted daemon through the drain (VmHWM; VmRSS largest " +
                       kib_text(rss_again.peak_kib()) + "), against the idle size above",
                   kib_text(peak),
                   "+" + std::to_string(peak - idle) + " KiB over idle " + kib_text(idle),
                   "≤ idle + 3 MiB", peak - idle <= kRssAllowanceKib ? "holds" : "missed"});
}

// The outage's fill and drain again, under strace with every write traced:
// each write to a segment file must append (the bytes written add up to the
// files' sizes), no call may position, cut or reopen one, and the syncs
// come in rounds at least a second apart. Rounds are paced by a timer, not
// by the fill, so that the traced daemon's slower fill does not flatter
// them; the calls per round do grow with the files written in between.
void QueueOutage::traced_fill() {
  const size_t n = config_.count;
  fprintf(stderr, "bench: p7: %zu messages into the queue under strace\n", n);
  const std::string queue_dir = dir_.file("traced.queue");
  const std::string trace = dir_.file("traced.strace");
  QueueDaemon d = start_daemon("traced", queue_dir, kQueueTraceSyscalls, trace);
  const Clock::time_point fill_start = send_datagrams(d.dgram_path, "p7 traced ", n, config_.size);
  wait_stored(queue_dir, n, milliseconds(180000));
  const double fill_seconds = seconds_between(fill_start, Clock::now());
  const QueueDirUsage filled = queue_dir_usage(queue_dir);
  const double back = wall_seconds();
  broker_.start();
  std::unique_ptr<CountingSubscriber> sub = subscribe("p7 traced ", n);
  const Delivery drained = sub->wait(milliseconds(30000));
  quorrel_test::wait_until([&] { return queue_dir_usage(queue_dir).files == 0; },
                           milliseconds(3000));
  sub.reset();
  const double stopping = wall_seconds();
  stop_daemon(&d);
  broker_.stop();

  QueueFileTrace t;
  if (!read_queue_trace(trace, queue_dir, back, &t)) {
    throw std::runtime_error("p7: no trace " + trace);
  }
  // Calls that would rewrite a segment file.
  const size_t rewrites =
      t.positioned_writes + t.truncations + t.seeks + t.reopened_for_writing + t.truncating_opens;
  // The orderly stop syncs what it saves at once, whenever it comes.
  std::vector<double> running;
  for (double when : t.syncs) {
    if (when < stopping) running.push_back(when);
  }
  const SyncRounds rounds = sync_rounds(running, kSameSyncRound, kSyncTimerJitter);
  const double span = running.size() > 1 ? running.back() - running.front() : 0;
  rows_.push_back(
      {"P7 disk, the fill and drain of " + std::to_string(n) + " × " +
           std::to_string(config_.size) + " B under strace (fill at " +
           rate_text(static_cast<double>(n) / fill_seconds) + ")",
       "sync rounds (calls less than " + ms_text(kSameSyncRound) +
           " apart): fsync/fdatasync calls " + std::to_string(rounds.calls) + ", rounds " +
           std::to_string(rounds.rounds) + ", over " + fixed(span, 1) + " s; closest rounds " +
           fixed(rounds.shortest_gap * 1000, 2) + " ms apart; at most " +
           std::to_string(rounds.most_calls) + " calls and " + ms_text(rounds.longest_round) +
           " in one round; not counted: " + std::to_string(t.syncs.size() - running.size()) +
           " at the orderly stop",
       std::to_string(rounds.busiest_second) + " in the busiest second", "",
       "≤ 1 sync round per second (" + ms_text(kSyncTimerJitter) + " allowed for the timer)",
       rounds.busiest_second <= 1 ? "holds" : "missed"});
  const uint64_t fill_bytes = t.bytes_appended - t.late_bytes_appended;
  const bool appends_only =
      rewrites == 0 && fill_bytes == filled.bytes && t.exclusive_creates == t.files_created;
  const std::string faults = delivery_faults(drained, n);
  rows_.push_back({"", "the traced daemon's drain: messages at the subscriber" + faults,
                   std::to_string(drained.delivered), "", "all, in order",
                   faults.empty() ? "holds" : "missed"});
  rows_.push_back(
      {"",
       "bytes written to segment files before the broker's return, against their size then (" +
           std::to_string(filled.bytes) + " B)",
       std::to_string(fill_bytes) + " B",
       ratio_text(filled.bytes > 0
                      ? static_cast<double>(fill_bytes) / static_cast<double>(filled.bytes)
                      : 0),
       "appended only, nothing rewritten", appends_only ? "holds" : "missed"});
  rows_.push_back(
      {"",
       "written to segment files from the broker's return through the drain and the "
       "orderly stop (what the broker had not yet acknowledged is kept)",
       std::to_string(t.late_bytes_appended) + " B in " + std::to_string(t.late_appends) + " calls",
       "", "", ""});
  rows_.push_back({"",
                   "the calls: " + std::to_string(t.appends) + " write/writev, " +
                       std::to_string(t.files_created) + " files created (" +
                       std::to_string(t.exclusive_creates) + " with O_EXCL), " +
                       std::to_string(t.deletions) + " deleted whole; " +
                       std::to_string(t.positioned_writes) + " pwrite, " + std::to_string(t.seeks) +
                       " lseek, " + std::to_string(t.truncations) + " ftruncate/fallocate, " +
                       std::to_string(t.reopened_for_writing + t.truncating_opens) +
                       " reopened for writing",
                   std::to_string(rewrites) + " rewriting calls", "", "", ""});
}

}  // namespace

std::vector<Row> queue_outage(const QueueOutageConfig& config, double live_rate) {
  QueueOutage figure(config);
  return figure.run(live_rate);
}

}  // namespace quorrel_bench
