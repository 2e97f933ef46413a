#include "bench/fleet.h"

#include <signal.h>
#include <stdio.h>
#include <sys/resource.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "bench/counting_listener.h"
#include "bench/fleet_probe.h"
#include "tests/support/broker.h"
#include "tests/support/daemon.h"
#include "tests/support/temp_dir.h"

namespace quorrel_bench {
namespace {

using quorrel_test::MosquittoBroker;
using quorrel_test::QuorreldProcess;
using quorrel_test::TempDir;

const char kTopicPrefix[] = "bench/fleet/";
const char kSessionBack[] = "WARNING: session back after";

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

void sleep_until(Clock::time_point when) { std::this_thread::sleep_until(when); }

// Raises the soft limit on `resource` to `wanted` (at most the hard limit)
// when it is lower, and says so.
void raise_soft_limit(int resource, const char* name, rlim_t wanted) {
  struct rlimit limit;
  if (getrlimit(resource, &limit) != 0) return;
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur >= wanted) return;
  const rlim_t old = limit.rlim_cur;
  limit.rlim_cur =
      limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted ? limit.rlim_max : wanted;
  if (limit.rlim_cur > old && setrlimit(resource, &limit) == 0) {
    fprintf(stderr, "bench: p6: raised the soft %s limit from %llu to %llu\n", name,
            static_cast<unsigned long long>(old), static_cast<unsigned long long>(limit.rlim_cur));
  }
}

// The fleet and its broker. Destroyed in reverse: the daemons stop before
// the broker, and both before their directory goes.
class Fleet {
 public:
  Fleet() : dir_("qfleet") {}
  ~Fleet() { stop_daemons(); }
  Fleet(const Fleet&) = delete;
  Fleet& operator=(const Fleet&) = delete;

  // Starts the broker and `count` daemons, and waits until every daemon has
  // its sockets.
  void start(size_t count);
  MosquittoBroker& broker() { return *broker_; }
  size_t size() const { return daemons_.size(); }
  QuorreldProcess& daemon(size_t i) { return *daemons_[i]; }
  const std::vector<std::string>& dgram_paths() const { return dgram_paths_; }
  // Throws unless every daemon still runs; `when` says at which step.
  void check_running(const char* when);

 private:
  // SIGTERM to all at once, then the destructors reap them: one daemon after
  // another would take a grace period each.
  void stop_daemons();

  TempDir dir_;
  std::unique_ptr<MosquittoBroker> broker_;
  std::vector<std::unique_ptr<QuorreldProcess>> daemons_;
  std::vector<std::string> stream_paths_;
  std::vector<std::string> dgram_paths_;
};

void Fleet::start(size_t count) {
  quorrel_test::BrokerOptions options;
  options.quiet_log = true;
  broker_ = std::make_unique<MosquittoBroker>(options);
  if (!broker_->start()) throw std::runtime_error("fleet broker: " + broker_->error());
  const std::string port = std::to_string(broker_->port());
  for (size_t i = 0; i < count; ++i) {
    const std::string n = std::to_string(i);
    stream_paths_.push_back(dir_.file("f" + n + ".sock"));
    dgram_paths_.push_back(dir_.file("f" + n + ".dgram"));
    daemons_.push_back(std::make_unique<QuorreldProcess>());
    const std::vector<std::string> args = {
        "--host",     "127.0.0.1",      "-p", port,           "--topic", kTopicPrefix + n,
        "--unixsock", stream_paths_[i], "-u", dgram_paths_[i]};
    if (!daemons_[i]->start(quorrel_test::unique_daemon_name("fleet"), args)) {
      throw std::runtime_error("cannot start quorreld number " + n);
    }
  }
  const Clock::time_point end = Clock::now() + milliseconds(60000);
  for (size_t i = 0; i < count; ++i) {
    const milliseconds left =
        std::chrono::duration_cast<milliseconds>(std::max(end - Clock::now(), Clock::duration(0)));
    if (!daemons_[i]->wait_for_sockets(stream_paths_[i], dgram_paths_[i], left)) {
      throw std::runtime_error(
          "quorreld number " + std::to_string(i) +
          " did not open its sockets: " + daemons_[i]->process().stderr_text());
    }
  }
}

void Fleet::check_running(const char* when) {
  for (size_t i = 0; i < daemons_.size(); ++i) {
    if (!daemons_[i]->process().running()) {
      throw std::runtime_error("quorreld number " + std::to_string(i) + " exited " + when + ": " +
                               daemons_[i]->process().stderr_text());
    }
  }
}

void Fleet::stop_daemons() {
  for (const std::unique_ptr<QuorreldProcess>& d : daemons_) {
    if (d->process().running()) kill(d->process().pid(), SIGTERM);
  }
  quorrel_test::wait_until(
      [this] {
        for (const std::unique_ptr<QuorreldProcess>& d : daemons_) {
          if (d->process().running()) return false;
        }
        return true;
      },
      milliseconds(5000));
  daemons_.clear();
}

// The largest count among `counts[from, to)`, 0 for none.
size_t max_in(const std::vector<size_t>& counts, size_t from, size_t to) {
  size_t most = 0;
  for (size_t i = from; i < to && i < counts.size(); ++i) most = std::max(most, counts[i]);
  return most;
}

// Prints the series compactly, twenty seconds a line.
void print_series(const std::vector<size_t>& counts, size_t daemons, size_t total) {
  printf("p6: connection attempts per second of the outage (%zu daemons, %zu s, %zu in all):\n",
         daemons, counts.size(), total);
  for (size_t at = 0; at < counts.size(); at += 20) {
    printf("  s %3zu-%-3zu", at, std::min(at + 20, counts.size()) - 1);
    for (size_t i = at; i < at + 20 && i < counts.size(); ++i) printf(" %zu", counts[i]);
    printf("\n");
  }
  fflush(stdout);
}

// When daemon `d` wrote that its session is back, after `since`; a default
// time_point when it has not.
Clock::time_point session_back_at(QuorreldProcess& d, Clock::time_point since) {
  for (const quorrel_test::OutputLine& line : d.process().stderr_lines()) {
    if (line.when > since && line.text.find(kSessionBack) != std::string::npos) return line.when;
  }
  return Clock::time_point();
}

}  // namespace

std::vector<Row> fleet_reconnection(const FleetConfig& config) {
  // Per daemon, the bench holds two pipe ends and a reader thread; the
  // daemons inherit the limits and run two threads each.
  raise_soft_limit(RLIMIT_NOFILE, "open files", static_cast<rlim_t>(config.daemons) * 4 + 256);
  raise_soft_limit(RLIMIT_NPROC, "processes", static_cast<rlim_t>(config.daemons) * 4 + 256);

  Fleet fleet;
  fleet.start(config.daemons);
  const int port = fleet.broker().port();
  FleetProbe probe(kTopicPrefix, fleet.dgram_paths());

  // Every daemon relays before the outage, and its session is older than
  // the settle time when the broker goes.
  if (!probe.connect(port)) throw std::runtime_error("fleet probe did not connect");
  const std::vector<Clock::time_point> first =
      probe.run_round(milliseconds(250), milliseconds(60000));
  probe.disconnect();
  Clock::time_point last_up = first.front();
  for (size_t i = 0; i < first.size(); ++i) {
    if (first[i] == Clock::time_point()) {
      throw std::runtime_error(
          "quorreld number " + std::to_string(i) +
          " did not start relaying: " + fleet.daemon(i).process().stderr_text());
    }
    last_up = std::max(last_up, first[i]);
  }
  fprintf(stderr, "bench: p6: %zu daemons relaying; the broker goes %.0f s after the last\n",
          fleet.size(), config.settle_seconds);
  sleep_until(last_up + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(config.settle_seconds)));
  fleet.check_running("before the outage");

  // The outage: the broker dies at one instant and the listener takes its
  // port as soon as the kernel has let go of it.
  const Clock::time_point down_at = Clock::now();
  kill(fleet.broker().pid(), SIGKILL);
  CountingListener listener;
  if (!listener.start(port, milliseconds(5000))) {
    throw std::runtime_error("counting listener: " + listener.error());
  }
  fprintf(stderr, "bench: p6: broker killed, listener on its port after %.1f ms\n",
          seconds_between(down_at, Clock::now()) * 1000);
  sleep_until(down_at + std::chrono::seconds(config.outage_seconds));
  const std::vector<Clock::time_point> attempts = listener.stop();
  if (!fleet.broker().start()) {
    throw std::runtime_error("fleet broker restart: " + fleet.broker().error());
  }
  // start() returns once the broker accepts connections: its return.
  const Clock::time_point back_at = Clock::now();
  fprintf(stderr, "bench: p6: broker back after %.1f s; waiting for the fleet (at most %d s)\n",
          seconds_between(down_at, back_at), config.recovery_limit_seconds);

  if (!probe.connect(port)) throw std::runtime_error("fleet probe did not reconnect");
  const std::vector<Clock::time_point> relayed =
      probe.run_round(milliseconds(250), std::chrono::seconds(config.recovery_limit_seconds));
  probe.disconnect();
  fleet.check_running("after the outage");

  std::vector<double> rss;
  for (size_t i = 0; i < fleet.size(); ++i) {
    rss.push_back(static_cast<double>(quorrel_test::resident_kib(fleet.daemon(i).process().pid())));
  }

  // Attempts per second of the outage; the few accepted while the listener
  // was being stopped count in the last second.
  const size_t seconds = static_cast<size_t>(config.outage_seconds);
  std::vector<size_t> counts(seconds, 0);
  for (const Clock::time_point t : attempts) {
    const double at = seconds_between(down_at, t);
    size_t bin = at < 0 ? 0 : static_cast<size_t>(at);
    if (bin >= seconds) bin = seconds - 1;
    ++counts[bin];
  }
  print_series(counts, fleet.size(), attempts.size());

  // Back: the first of its "session back" line and its first relayed probe.
  std::vector<double> recovery;
  size_t missing = 0;
  size_t by_probe = 0;
  for (size_t i = 0; i < fleet.size(); ++i) {
    Clock::time_point at = session_back_at(fleet.daemon(i), down_at);
    if (relayed[i] != Clock::time_point() && (at == Clock::time_point() || relayed[i] < at)) {
      at = relayed[i];
      ++by_probe;
    }
    if (at == Clock::time_point()) {
      ++missing;
      continue;
    }
    recovery.push_back(std::max(0.0, seconds_between(back_at, at)));
  }
  fprintf(stderr,
          "bench: p6: %zu daemons back (%zu first seen by a relayed probe, the rest by "
          "their log line), %zu not\n",
          recovery.size(), by_probe, missing);

  const size_t quick = static_cast<size_t>(config.quick_seconds);
  const std::string figure = "P6 fleet of " + std::to_string(fleet.size()) +
                             " daemons, broker down " + std::to_string(config.outage_seconds) +
                             " s (one run)";
  const std::string per_second = " attempts/s";
  std::vector<Row> rows;
  // The busiest second from second `from` + 1 of the outage on, against
  // `target` attempts a second.
  auto busiest_from = [&](const std::string& name, size_t from, double target) {
    const size_t most = max_in(counts, from, seconds);
    const std::string nth = std::to_string(from + 1) + "th s";
    rows.push_back({name,
                    "connection attempts, busiest second from the " + nth + " of the outage on",
                    std::to_string(most) + per_second, "",
                    "≤ " + fixed(target, 0) + " attempts/s from the " + nth,
                    verdict(static_cast<double>(most), target, true)});
  };
  if (seconds > quick) {
    busiest_from(figure, quick, config.attempts_target);
  } else {
    rows.push_back(
        {figure,
         "connection attempts from the " + std::to_string(quick + 1) + "th s of the outage on",
         "none (outage of " + std::to_string(seconds) + " s)", "", "", ""});
  }
  const size_t calm = static_cast<size_t>(config.calm_seconds);
  if (seconds > calm) busiest_from("", calm, config.calm_attempts_target);
  rows.push_back(
      {"", "connection attempts, busiest second of the first " + std::to_string(quick) + " s",
       std::to_string(max_in(counts, 0, quick)) + per_second, "", "", ""});
  rows.push_back(
      {"", "connection attempts over the whole outage",
       std::to_string(attempts.size()) + " (" +
           fixed(static_cast<double>(attempts.size()) / static_cast<double>(fleet.size()), 1) +
           " per daemon)",
       "", "", ""});
  const double slowest = recovery.empty() ? 0 : *std::max_element(recovery.begin(), recovery.end());
  // A short outage must cost no more than it lasted.
  double back_within = config.recovery_target_seconds;
  if (config.outage_seconds <= 5) {
    back_within = 5;
  } else if (config.outage_seconds <= 10) {
    back_within = 10;
  }
  const std::string recovery_target = "≤ " + fixed(back_within, 0) + " s after the return";
  if (missing == 0) {
    rows.push_back({"", "from the broker's return until relaying again, slowest daemon",
                    fixed(slowest, 1) + " s", "", recovery_target,
                    verdict(slowest, back_within, true)});
  } else {
    rows.push_back({"", "from the broker's return until relaying again, slowest daemon",
                    std::to_string(missing) + " of " + std::to_string(fleet.size()) +
                        " not back after " + std::to_string(config.recovery_limit_seconds) + " s",
                    "", recovery_target, "missed"});
  }
  rows.push_back({"", "from the broker's return until relaying again, median daemon",
                  recovery.empty() ? "none back" : fixed(median(recovery), 1) + " s", "", "", ""});
  auto kib = [](double k) { return fixed(k, 0) + " KiB"; };
  rows.push_back({"", "RSS per daemon after the return, median", kib(median(rss)), "", "", ""});
  rows.push_back({"", "RSS per daemon after the return, largest",
                  kib(*std::max_element(rss.begin(), rss.end())), "", "", ""});
  return rows;
}

}  // namespace quorrel_bench
