// quorrel_bench: measures the relay the way its users would choose between it
// and the alternatives, each figure side by side with its anchor in the same
// run, against a private mosquitto broker on loopback. Prints one table of
// medians and ratios and writes it to the results file.
//
//   quorrel_bench [--smoke] [--reps N] [--only p1,p2,p3,p4,p5,p6,p7,p8,p9] [--p2-count N]
//                 [--out FILE] [--musl-dir DIR] [--fleet-daemons N] [--fleet-outage SECONDS]
//                 [--baseline-dir DIR [--baseline-name NAME]] [--p7-count N]
//                 [--version-name TEXT]
//
// --smoke uses tiny counts so that CI can check the harness still runs; its
// figures mean nothing. Exits 1 when a measurement cannot be made (a program
// fails, messages do not arrive); a missed target is reported, not an error.
//
// --musl-dir names a build directory holding a static musl quorreld and
// quorrel_client for this machine (`scripts/cross.sh x86_64-musl` leaves one
// in build-x86_64-musl); the footprint figure then measures them too, beside
// the same mosquitto_sub. They must run natively: under an emulator the
// resident set would be the emulator's.
//
// The fleet figure (p6, bench/fleet.h) is measured once, not repeated: 200
// daemons and 120 s of outage by default; --fleet-daemons and --fleet-outage
// make it smaller for a quicker look. So is the queue figure (p7,
// bench/queue_outage.h), which needs strace.
//
// --baseline-dir names a build directory holding an earlier quorreld and
// quorrel_client (NAME in the table, "baseline" by default; `bench/run.sh
// --baseline REV` builds one from a git revision). P1, the P2 rates and the
// one-at-a-time round trips (P8) then run them too, beside the current
// programs and in turns with them, and report the current against the
// earlier.
#include <mosquitto.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/counting_subscriber.h"
#include "bench/daemon_launch.h"
#include "bench/datagram_sender.h"
#include "bench/fleet.h"
#include "bench/native_publisher.h"
#include "bench/process_watch.h"
#include "bench/queue_dir.h"
#include "bench/queue_outage.h"
#include "bench/report.h"
#include "bench/status_asker.h"
#include "bench/timed_command.h"
#include "server/publish_count.h"
#include "tests/support/broker.h"
#include "tests/support/certs.h"
#include "tests/support/daemon.h"
#include "tests/support/local_socket.h"
#include "tests/support/subscriber.h"
#include "tests/support/temp_dir.h"

namespace quorrel_bench {
namespace {

using quorrel_test::MosquittoBroker;
using quorrel_test::MqttSubscriber;
using quorrel_test::peak_resident_kib;
using quorrel_test::Process;
using quorrel_test::QuorreldProcess;
using quorrel_test::resident_kib;
using quorrel_test::TempDir;

// A measurement that could not be made; ends the run with status 1.
struct BenchError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Config {
  bool smoke = false;
  int reps = 5;
  size_t p1_count = 300;       // processes per shell loop
  size_t p2_count = 200000;    // datagrams per relay run
  size_t p2_size = 64;         // bytes per datagram
  size_t p3_bytes = 16 << 20;  // the large file
  size_t cg_count = 10000;     // datagrams per callgrind step
  size_t one_count = 2000;     // messages per one-at-a-time run
  // The queue directory's size for the P2 run through a daemon with one.
  uint32_t p2_queue_kib = 65536;
  std::string out_path = "bench/results.md";
  std::string only = "p1,p2,p3,p4,p5,p6,p7,p8,p9";  // which figures to measure
  std::string musl_dir;                             // static musl programs to measure too, or empty
  std::string baseline_dir;                         // earlier programs to measure beside, or empty
  std::string baseline_name = "baseline";
  // Arguments the current quorreld of P2 and P8 gets beyond the bench's own
  // (--daemon-arg, repeated): with the current build as the baseline, say,
  // `--daemon-arg --protocol --daemon-arg 5` measures MQTT 5 against 3.1.1.
  std::vector<std::string> daemon_args;
  std::string version;      // what the current programs were built from, for the heading
  FleetConfig fleet;        // p6, measured once (not repeated)
  QueueOutageConfig queue;  // p7, likewise
};

double seconds_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double>(b - a).count();
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

// Whether the ELF file at `path` is built for the machine (class, byte order
// and architecture) this harness runs on, so that it runs without an emulator.
bool same_machine(const std::string& path) {
  auto ident = [](const std::string& file) {
    std::string head(20, '\0');
    std::ifstream in(file, std::ios::binary);
    if (!in.read(&head[0], static_cast<std::streamsize>(head.size())) ||
        head.compare(0, 4, "\177ELF") != 0) {
      return std::string();
    }
    return head.substr(4, 2) + head.substr(18, 2);
  };
  const std::string ours = ident("/proc/self/exe");
  return access(path.c_str(), X_OK) == 0 && !ours.empty() && ident(path) == ours;
}

// The figures share one broker, one counting subscriber on "bench/#" and the
// relaying daemons (QoS 0 and QoS 1; at QoS 1 also one with a queue
// directory; and the baseline's at both, when there is one), all started
// once.
class Bench {
 public:
  explicit Bench(Config config) : config_(std::move(config)), dir_("qbench") {}

  void set_up();
  std::vector<Row> per_message_cost();
  std::vector<Row> sustained_rate();
  std::vector<Row> status_load();
  std::vector<Row> one_at_a_time();
  std::vector<Row> large_message();
  std::vector<Row> footprint();
  std::vector<Row> peak_memory();
  std::vector<std::string> heading() const;
  // The median QoS 1 rate through the daemon in the P2 runs (messages per
  // second), 0 before they ran.
  double qos1_rate() const { return qos1_rate_; }

 private:
  struct Relay : LaunchedDaemon {
    std::string topic;
    std::string stream_path;
    std::string dgram_path;
  };

  // Against `broker` (the shared one when null), with `extra` arguments.
  Relay start_relay(const std::string& tag, int qos, const std::string& wrapper = "",
                    const std::string& program = QUORRELD_PATH, MosquittoBroker* broker = nullptr,
                    const std::vector<std::string>& extra = {});
  void wait_relaying(Relay& relay, milliseconds timeout, MosquittoBroker* broker);
  // `count` datagrams of config_.p2_size bytes (see send_datagrams).
  Clock::time_point send_datagrams(const std::string& path, const std::string& prefix, size_t count,
                                   double per_second = 0);
  // Sends config_.p2_count datagrams to `relay`; throws unless every one
  // reaches the subscriber.
  void send_all_delivered(const Relay& relay, const std::string& prefix);
  double shell_loop(const std::string& body, const std::vector<std::string>& args,
                    const std::string& prefix);
  // One relay run: `count` messages named `prefix` through the daemon
  // `relay` (or, when `native`, from the native publisher on "<relay
  // topic>n"), at `per_second` (0: as fast as taken). Returns delivered
  // messages per second; `*tally` gets the delivery when not null.
  double relay_rate(const Relay& relay, int qos, const std::string& prefix, size_t count,
                    bool native, double per_second = 0, Delivery* tally = nullptr);
  // One writer to one daemon for the one-at-a-time figure: datagrams over
  // one connected socket, or a stream connection per message.
  class OneAtATime {
   public:
    OneAtATime(const Relay& relay, bool stream);
    ~OneAtATime();
    OneAtATime(const OneAtATime&) = delete;
    OneAtATime& operator=(const OneAtATime&) = delete;
    // Sends `payload` and waits until `sub` has it; returns the microseconds
    // that took. Throws when it is not sent or does not arrive within 5 s.
    double send(CountingSubscriber* sub, const std::string& payload);

   private:
    const Relay& relay_;
    const bool stream_;
    int fd_ = -1;
  };
  bool has_baseline() const { return !config_.baseline_dir.empty(); }
  std::string baseline_program(const std::string& name) const {
    return config_.baseline_dir + "/" + name;
  }
  void write_large_file();
  double large_run(const std::vector<std::string>& argv);
  long long callgrind_instructions(size_t count, int qos);
  std::string log_file(const std::string& name) const { return dir_.file(name + ".log"); }
  std::string musl_program(const std::string& name) const { return config_.musl_dir + "/" + name; }

  Config config_;
  TempDir dir_;
  std::unique_ptr<MosquittoBroker> broker_;
  CountingSubscriber sub_;
  NativePublisher native_;
  Relay relay_q0_;
  Relay relay_q1_;
  Relay relay_q1_queue_;   // QoS 1 with a queue directory
  std::string queue_dir_;  // its directory
  Relay relay_base_q0_;    // the baseline's, when there is one
  Relay relay_base_q1_;
  double qos1_rate_ = 0;
  std::string large_content_;
  std::string large_path_;
};

void Bench::set_up() {
  if (!config_.musl_dir.empty()) {
    for (const char* name : {"quorreld", "quorrel_client"}) {
      if (!same_machine(musl_program(name))) {
        throw BenchError(musl_program(name) + " is missing or not a program for this machine");
      }
    }
  }
  if (has_baseline()) {
    for (const char* name : {"quorreld", "quorrel_client"}) {
      if (!same_machine(baseline_program(name))) {
        throw BenchError(baseline_program(name) + " is missing or not a program for this machine");
      }
    }
  }
  const quorrel_test::TestCertificates& certs = quorrel_test::test_certificates();
  if (!certs.ok) throw BenchError("certificates: " + certs.error);
  quorrel_test::BrokerOptions options;
  options.tls = true;
  options.quiet_log = true;
  options.unbounded_queues = true;
  broker_ = std::make_unique<MosquittoBroker>(options);
  if (!broker_->start()) throw BenchError("broker: " + broker_->error());
  if (!sub_.start(broker_->port(), "bench/#", 1)) throw BenchError("subscriber did not connect");
  if (!native_.start(broker_->port())) throw BenchError("native publisher did not connect");
  relay_q0_ = start_relay("q0", 0, "", QUORRELD_PATH, nullptr, config_.daemon_args);
  relay_q1_ = start_relay("q1", 1, "", QUORRELD_PATH, nullptr, config_.daemon_args);
  queue_dir_ = dir_.file("q1queue.queue");
  std::vector<std::string> queue_args = {"--queuesize", std::to_string(config_.p2_queue_kib),
                                         "--queuedir", queue_dir_};
  queue_args.insert(queue_args.end(), config_.daemon_args.begin(), config_.daemon_args.end());
  relay_q1_queue_ = start_relay("q1queue", 1, "", QUORRELD_PATH, nullptr, queue_args);
  if (has_baseline()) {
    relay_base_q0_ = start_relay("base_q0", 0, "", baseline_program("quorreld"));
    relay_base_q1_ = start_relay("base_q1", 1, "", baseline_program("quorreld"));
  }
}

Bench::Relay Bench::start_relay(const std::string& tag, int qos, const std::string& wrapper,
                                const std::string& program, MosquittoBroker* broker,
                                const std::vector<std::string>& extra) {
  if (broker == nullptr) broker = broker_.get();
  Relay relay;
  relay.topic = "bench/" + tag;
  relay.stream_path = dir_.file(tag + ".sock");
  relay.dgram_path = dir_.file(tag + ".dgram");
  std::vector<std::string> args = {
      "--host", "127.0.0.1",      "-p",         std::to_string(broker->port()),
      "-t",     relay.topic,      "--unixsock", relay.stream_path,
      "-u",     relay.dgram_path, "-q",         std::to_string(qos)};
  args.insert(args.end(), extra.begin(), extra.end());
  static_cast<LaunchedDaemon&>(relay) = launch_daemon(tag, args, program, wrapper, dir_.path());
  wait_relaying(relay, milliseconds(wrapper.empty() ? 10000 : 60000), broker);
  return relay;
}

void Bench::wait_relaying(Relay& relay, milliseconds timeout, MosquittoBroker* broker) {
  // A subscriber of its own, only for the start: it keeps what it receives.
  MqttSubscriber probe;
  if (!probe.connect(broker->port()) || !probe.subscribe(relay.topic)) {
    throw BenchError("probe subscriber did not connect");
  }
  if (!relay.daemon->wait_for_sockets(relay.stream_path, relay.dgram_path, timeout) ||
      !relay.daemon->wait_until_relaying(probe, relay.dgram_path, timeout)) {
    throw BenchError("quorreld did not start relaying: " + relay.daemon->process().stderr_text());
  }
}

Clock::time_point Bench::send_datagrams(const std::string& path, const std::string& prefix,
                                        size_t count, double per_second) {
  return quorrel_bench::send_datagrams(path, prefix, count, config_.p2_size, per_second);
}

void Bench::send_all_delivered(const Relay& relay, const std::string& prefix) {
  sub_.expect_sequence(prefix, config_.p2_count);
  send_datagrams(relay.dgram_path, prefix, config_.p2_count);
  const Delivery d = sub_.wait(milliseconds(20000));
  if (d.delivered != config_.p2_count) {
    throw BenchError("QoS 1 run '" + prefix + "' delivered " + std::to_string(d.delivered) +
                     " of " + std::to_string(config_.p2_count));
  }
}

// Runs `body` as a POSIX shell loop of config_.p1_count iterations ($i is the
// iteration, $1… are `args`), then waits until the subscriber has every
// "<prefix><i>" (when `prefix` is not empty). Returns seconds per message.
double Bench::shell_loop(const std::string& body, const std::vector<std::string>& args,
                         const std::string& prefix) {
  const std::string script = "i=0; while [ $i -lt " + std::to_string(config_.p1_count) + " ]; do " +
                             body + " || exit 1; i=$((i+1)); done";
  std::vector<std::string> argv = {"sh", "-c", script, "bench"};
  argv.insert(argv.end(), args.begin(), args.end());
  if (!prefix.empty()) sub_.expect_sequence(prefix, config_.p1_count);
  const TimedRun run = run_timed(argv, log_file("p1"));
  if (!run.ok) throw BenchError(run.error);
  Clock::time_point end = run.ended;
  if (!prefix.empty()) {
    const Delivery d = sub_.wait(milliseconds(10000));
    if (d.delivered != config_.p1_count) {
      throw BenchError("per-message run '" + prefix + "': " + std::to_string(d.delivered) + " of " +
                       std::to_string(config_.p1_count) + " arrived");
    }
    if (d.last > end) end = d.last;
  }
  return seconds_between(run.started, end) / static_cast<double>(config_.p1_count);
}

std::vector<Row> Bench::per_message_cost() {
  const quorrel_test::TestCertificates& certs = quorrel_test::test_certificates();
  const std::string port = std::to_string(broker_->port());
  const std::string tls_port = std::to_string(broker_->tls_port());
  std::vector<double> floor, client, base, pub, pub_tls, r_client, r_base, r_pub, r_tls;
  for (int rep = 0; rep < config_.reps; ++rep) {
    const std::string tag = "p1 r" + std::to_string(rep);
    floor.push_back(shell_loop("/bin/true \"$i\"", {}, ""));
    client.push_back(shell_loop("\"$1\" --unixsock \"$2\" -D \"$3$i\"",
                                {QUORREL_CLIENT_PATH, relay_q0_.stream_path, tag + " client "},
                                tag + " client "));
    if (has_baseline()) {
      base.push_back(shell_loop(
          "\"$1\" --unixsock \"$2\" -D \"$3$i\"",
          {baseline_program("quorrel_client"), relay_base_q0_.stream_path, tag + " base "},
          tag + " base "));
      r_base.push_back(base.back() / floor.back());
    }
    pub.push_back(shell_loop("mosquitto_pub -h 127.0.0.1 -p \"$1\" -t bench/p1 -m \"$2$i\"",
                             {port, tag + " pub "}, tag + " pub "));
    pub_tls.push_back(shell_loop(
        "mosquitto_pub -h 127.0.0.1 -p \"$1\" --cafile \"$3\" --cert \"$4\" --key \"$5\" "
        "-t bench/p1 -m \"$2$i\"",
        {tls_port, tag + " tls ", certs.ca_cert, certs.client_cert, certs.client_key},
        tag + " tls "));
    r_client.push_back(client.back() / floor.back());
    r_pub.push_back(pub.back() / floor.back());
    r_tls.push_back(pub_tls.back() / floor.back());
  }
  const std::string figure =
      "P1 per message, " + std::to_string(config_.p1_count) + " processes from a shell loop";
  auto ms = [](double s) { return fixed(s * 1000, 3) + " ms"; };
  std::vector<Row> rows = {
      {figure, "`quorrel_client -D` via quorreld, each waiting for its verdict, each confirmed",
       ms(median(client)), ratio_text(median(r_client)), "≤ 1.3× spawn floor",
       verdict(median(r_client), 1.3, true)},
  };
  if (has_baseline()) {
    rows.push_back({"",
                    config_.baseline_name + "'s `quorrel_client -D` via its quorreld (no verdict)",
                    ms(median(base)), ratio_text(median(r_base)), "", ""});
  }
  rows.push_back({"", "`mosquitto_pub -m`", ms(median(pub)), ratio_text(median(r_pub)), "", ""});
  rows.push_back({"", "`mosquitto_pub -m` with TLS client certificate", ms(median(pub_tls)),
                  ratio_text(median(r_tls)), "", ""});
  rows.push_back({"", "`/bin/true` (spawn floor)", ms(median(floor)), ratio_text(1), "", ""});
  return rows;
}

// Throws when a QoS 1 run loses any message.
double Bench::relay_rate(const Relay& relay, int qos, const std::string& prefix, size_t count,
                         bool native, double per_second, Delivery* tally) {
  sub_.expect_sequence(prefix, count);
  Clock::time_point start;
  if (native) {
    const size_t size = config_.p2_size;
    start = Clock::now();
    native_.publish_all(
        relay.topic + "n", qos, count,
        [&](size_t i, std::string* payload) { make_payload(prefix, i, size, payload); },
        milliseconds(10000));
  } else {
    start = send_datagrams(relay.dgram_path, prefix, count, per_second);
  }
  const Delivery d = sub_.wait(milliseconds(10000));
  if (qos > 0 && d.delivered != count) {
    throw BenchError("QoS 1 run '" + prefix + "' delivered " + std::to_string(d.delivered) +
                     " of " + std::to_string(count));
  }
  if (d.delivered == 0) throw BenchError("relay run '" + prefix + "' delivered nothing");
  if (tally != nullptr) *tally = d;
  return static_cast<double>(d.delivered) / seconds_between(start, d.last);
}

std::vector<Row> Bench::sustained_rate() {
  std::vector<Row> rows;
  auto rate = [](double r) { return fixed(r / 1000, 1) + " k msg/s"; };
  const std::string& base_name = config_.baseline_name;
  // The keeping-up run through the daemon with a queue directory.
  const size_t paced_count = config_.p2_count / 4;
  for (int qos = 0; qos <= 1; ++qos) {
    const Relay& relay = qos == 0 ? relay_q0_ : relay_q1_;
    const Relay& base_relay = qos == 0 ? relay_base_q0_ : relay_base_q1_;
    std::vector<double> ours, native, ratio, base, base_ratio, against_base;
    std::vector<double> queued, queued_ratio, paced;
    double queued_bytes = 0, queued_files = 0, paced_bytes = 0, paced_files = 0;  // the most
    std::string queued_faults;
    for (int rep = 0; rep < config_.reps; ++rep) {
      const std::string run = "p2 r" + std::to_string(rep) + " q" + std::to_string(qos);
      auto our_run = [&] {
        ours.push_back(relay_rate(relay, qos, run + " d ", config_.p2_count, false));
      };
      auto base_run = [&] {
        base.push_back(relay_rate(base_relay, qos, run + " b ", config_.p2_count, false));
      };
      // Taking turns at going first cancels what the first run of a pair
      // leaves behind for the second.
      if (has_baseline() && rep % 2 == 1) {
        base_run();
        our_run();
      } else {
        our_run();
        if (has_baseline()) base_run();
      }
      if (qos == 1) {
        // What the daemon with a queue directory writes there: with a
        // blocking sender, which offers more than the broker takes, and with
        // a sender at half the rate the daemon without a queue just had,
        // which it keeps up with.
        const pid_t pid = relay_q1_queue_.daemon->process().pid();
        QueueFileWatch watch;
        watch.start(queue_dir_);
        long long before = storage_write_bytes(pid);
        Delivery d;
        queued.push_back(
            relay_rate(relay_q1_queue_, 1, run + " q ", config_.p2_count, false, 0, &d));
        if (d.out_of_order + d.duplicates != 0 && queued_faults.empty()) {
          queued_faults = "; repetition " + std::to_string(rep) + ": " +
                          std::to_string(d.out_of_order) + " out of order, " +
                          std::to_string(d.duplicates) + " twice";
        }
        queued_bytes =
            std::max(queued_bytes, static_cast<double>(storage_write_bytes(pid) - before));
        queued_files = std::max(queued_files, static_cast<double>(watch.created()));
        watch.stop();
        watch.start(queue_dir_);
        before = storage_write_bytes(pid);
        paced.push_back(
            relay_rate(relay_q1_queue_, 1, run + " p ", paced_count, false, ours.back() / 2, &d));
        paced_bytes = std::max(paced_bytes, static_cast<double>(storage_write_bytes(pid) - before));
        paced_files = std::max(paced_files, static_cast<double>(watch.created()));
      }
      native.push_back(relay_rate(relay, qos, run + " n ", config_.p2_count, true));
      ratio.push_back(ours.back() / native.back());
      if (has_baseline()) {
        base_ratio.push_back(base.back() / native.back());
        against_base.push_back(ours.back() / base.back());
      }
      if (qos == 1) queued_ratio.push_back(queued.back() / native.back());
    }
    if (qos == 1) qos1_rate_ = median(ours);
    rows.push_back({"P2 sustained rate, " + std::to_string(config_.p2_count) + " × " +
                        std::to_string(config_.p2_size) + " B, QoS " + std::to_string(qos),
                    "datagrams through quorreld (blocking sender)", rate(median(ours)),
                    ratio_text(median(ratio)),
                    std::string("≥ 0.9× native") + (qos > 0 ? ", all delivered" : ""),
                    verdict(median(ratio), 0.9, false)});
    if (has_baseline()) {
      rows.push_back({"", "datagrams through " + base_name + "'s quorreld (blocking sender)",
                      rate(median(base)), ratio_text(median(base_ratio)), "", ""});
      rows.push_back({"",
                      "quorreld against " + base_name +
                          "'s: median of the per-repetition ratios, taking turns at going first",
                      ratio_text(median(against_base)), "", "≥ 0.95× " + base_name,
                      verdict(median(against_base), 0.95, false)});
    }
    rows.push_back({"", "native persistent libmosquitto publisher", rate(median(native)),
                    ratio_text(1), "", ""});
    if (qos == 1) {
      auto written = [](double bytes, double files) {
        return bytes_text(bytes) + ", " + fixed(files, 0) + " files";
      };
      rows.push_back({"",
                      "datagrams through quorreld with a " +
                          bytes_text(config_.p2_queue_kib * 1024.0) +
                          " queue directory (blocking sender)" + queued_faults,
                      rate(median(queued)), ratio_text(median(queued_ratio)), "", ""});
      rows.push_back({"",
                      "written to its queue directory in that run (write_bytes; segment files "
                      "created), the most in one repetition",
                      written(queued_bytes, queued_files), "", "0 B",
                      queued_bytes == 0 && queued_files == 0 ? "holds" : "missed"});
      rows.push_back({"",
                      "the same with a steady sender at half the rate of the daemon without a "
                      "queue (" +
                          std::to_string(paced_count) + " datagrams, " + rate(median(paced)) +
                          " delivered): keeping up",
                      written(paced_bytes, paced_files), "", "0 B while keeping up",
                      paced_bytes == 0 && paced_files == 0 ? "holds" : "missed"});
    }
  }
  return rows;
}

// The relay's QoS 1 rate while a monitor asks the same daemon for its
// status 1,000 times a second, against its rate without, taking turns at
// going first; every message must still arrive, and none of the requests
// may be published (the subscriber would count it).
std::vector<Row> Bench::status_load() {
  constexpr double kAsksPerSecond = 1000;
  std::vector<double> quiet, asked, ratio;
  unsigned answered = 0;
  unsigned failed = 0;
  double asked_seconds = 0;
  for (int rep = 0; rep < config_.reps; ++rep) {
    const std::string run = "p9 r" + std::to_string(rep);
    auto quiet_run = [&] {
      quiet.push_back(relay_rate(relay_q1_, 1, run + " n ", config_.p2_count, false));
    };
    auto asked_run = [&] {
      quorrel_bench::StatusAsker asker;
      const Clock::time_point began = Clock::now();
      asker.start(relay_q1_.stream_path, kAsksPerSecond);
      asked.push_back(relay_rate(relay_q1_, 1, run + " s ", config_.p2_count, false));
      asker.stop();
      asked_seconds += seconds_between(began, Clock::now());
      answered += asker.answered();
      failed += asker.failed();
    };
    if (rep % 2 == 1) {
      asked_run();
      quiet_run();
    } else {
      quiet_run();
      asked_run();
    }
    ratio.push_back(asked.back() / quiet.back());
  }
  auto rate = [](double r) { return fixed(r / 1000, 1) + " k msg/s"; };
  const double ratio_median = median(ratio);
  return {
      {"P9 status queries, " + std::to_string(config_.p2_count) + " × " +
           std::to_string(config_.p2_size) + " B, QoS 1",
       "datagrams through quorreld while it answers `--status` " + fixed(kAsksPerSecond, 0) +
           " times a second (" + fixed(answered / (asked_seconds > 0 ? asked_seconds : 1), 0) +
           " answers/s, " + std::to_string(failed) + " unanswered)",
       rate(median(asked)), ratio_text(ratio_median), "≥ 0.95× without, all delivered",
       verdict(ratio_median, 0.95, false)},
      {"", "the same daemon without status queries", rate(median(quiet)), ratio_text(1), "", ""},
  };
}

Bench::OneAtATime::OneAtATime(const Relay& relay, bool stream) : relay_(relay), stream_(stream) {
  if (!stream) fd_ = connect_datagram(relay.dgram_path, 0);
}

Bench::OneAtATime::~OneAtATime() {
  if (fd_ >= 0) close(fd_);
}

double Bench::OneAtATime::send(CountingSubscriber* sub, const std::string& payload) {
  sub->expect_exact(&payload);
  const Clock::time_point sent = Clock::now();
  const bool ok = stream_ ? quorrel_test::send_stream(relay_.stream_path, payload)
                          : ::send(fd_, payload.data(), payload.size(), 0) ==
                                static_cast<ssize_t>(payload.size());
  const int err = errno;
  const Delivery d = ok ? sub->wait(milliseconds(5000)) : Delivery();
  if (!ok || d.delivered != 1) {
    throw BenchError("one-at-a-time message '" + payload.substr(0, payload.find('.')) +
                     (ok ? "' did not arrive" : "' not sent: " + std::string(strerror(err))));
  }
  return std::chrono::duration<double, std::micro>(d.last - sent).count();
}

// One message at a time: sent, and the next only once the subscriber has
// it. What a sensor that reports now and then sees. With a baseline, its
// daemon and ours take turns message by message (which goes first changes
// every pair), so that both see the machine in the same state: from one
// moment to the next the round trip moves by more than the figure's bound.
std::vector<Row> Bench::one_at_a_time() {
  struct Case {
    std::string name;
    const Relay* ours;
    const Relay* base;  // null: none to compare with
    bool stream;
  };
  const Relay* base_q0 = has_baseline() ? &relay_base_q0_ : nullptr;
  const Relay* base_q1 = has_baseline() ? &relay_base_q1_ : nullptr;
  const std::vector<Case> cases = {
      {"datagram, QoS 0", &relay_q0_, base_q0, false},
      {"datagram, QoS 1", &relay_q1_, base_q1, false},
      {"stream message (connect, write, close), QoS 1", &relay_q1_, base_q1, true},
      {"datagram, QoS 1, daemon with a queue directory", &relay_q1_queue_, nullptr, false},
  };
  auto us = [](double v) { return fixed(v, 1) + " µs"; };
  std::vector<Row> rows;
  std::string payload;
  for (size_t k = 0; k < cases.size(); ++k) {
    const Case& c = cases[k];
    // Per repetition: the medians of each side and of the pairs' differences.
    std::vector<double> ours, base, diff;
    for (int rep = 0; rep < config_.reps; ++rep) {
      const std::string run = "one r" + std::to_string(rep) + " c" + std::to_string(k);
      OneAtATime our_side(*c.ours, c.stream);
      std::unique_ptr<OneAtATime> base_side;
      if (c.base != nullptr) base_side = std::make_unique<OneAtATime>(*c.base, c.stream);
      std::vector<double> our_us, base_us, pair_us;
      for (size_t i = 0; i < config_.one_count; ++i) {
        const bool base_first = base_side && i % 2 == 1;
        double b = 0;
        if (base_first) {
          make_payload(run + " b ", i, config_.p2_size, &payload);
          b = base_side->send(&sub_, payload);
        }
        make_payload(run + " d ", i, config_.p2_size, &payload);
        our_us.push_back(our_side.send(&sub_, payload));
        if (base_side && !base_first) {
          make_payload(run + " b ", i, config_.p2_size, &payload);
          b = base_side->send(&sub_, payload);
        }
        if (base_side) {
          base_us.push_back(b);
          pair_us.push_back(our_us.back() - b);
        }
      }
      ours.push_back(median(our_us));
      if (base_side) {
        base.push_back(median(base_us));
        diff.push_back(median(pair_us));
      }
    }
    const std::string figure =
        k == 0 ? "P8 one at a time, " + std::to_string(config_.one_count) + " × " +
                     std::to_string(config_.p2_size) +
                     " B per repetition, from the send to the subscriber (median)"
               : "";
    if (c.base != nullptr) {
      const double d = median(diff);
      rows.push_back({figure,
                      c.name + ": quorreld (" + config_.baseline_name + "'s: " + us(median(base)) +
                          "; ratio: the median difference of the pairs)",
                      us(median(ours)), (d >= 0 ? "+" : "") + us(d),
                      "≤ +10 µs over " + config_.baseline_name, d <= 10 ? "holds" : "missed"});
    } else {
      rows.push_back({figure, c.name + ": quorreld", us(median(ours)), "", "", ""});
    }
  }
  return rows;
}

// Seconds from starting `argv` until the subscriber has the whole file.
double Bench::large_run(const std::vector<std::string>& argv) {
  sub_.expect_exact(&large_content_);
  const TimedRun run = run_timed(argv, log_file("p3"));
  if (!run.ok) throw BenchError(run.error);
  const Delivery d = sub_.wait(milliseconds(30000));
  if (d.delivered != 1) throw BenchError(argv[0] + ": the large message did not arrive whole");
  return seconds_between(run.started, d.last > run.ended ? d.last : run.ended);
}

// Makes the large file once: bytes of every value, not compressible, the same
// on every run.
void Bench::write_large_file() {
  if (!large_path_.empty()) return;
  large_content_.resize(config_.p3_bytes);
  uint32_t x = 2463534242u;
  for (char& c : large_content_) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    c = static_cast<char>(x);
  }
  large_path_ = dir_.file("large.bin");
  if (!quorrel_test::write_file(large_path_, large_content_)) throw BenchError("cannot write file");
}

std::vector<Row> Bench::large_message() {
  write_large_file();
  std::vector<double> ours, pub, ratio;
  for (int rep = 0; rep < config_.reps; ++rep) {
    // Taking turns at going first cancels what the first run of a pair
    // leaves behind for the second (a warm cache, a busy broker).
    const std::vector<std::string> client = {QUORREL_CLIENT_PATH, "--unixsock",
                                             relay_q0_.stream_path, "-f", large_path_};
    const std::vector<std::string> mosquitto_pub = {
        "mosquitto_pub", "-h", "127.0.0.1", "-p", std::to_string(broker_->port()), "-t",
        "bench/p3",      "-f", large_path_};
    if (rep % 2 == 0) {
      ours.push_back(large_run(client));
      pub.push_back(large_run(mosquitto_pub));
    } else {
      pub.push_back(large_run(mosquitto_pub));
      ours.push_back(large_run(client));
    }
    ratio.push_back(ours.back() / pub.back());
  }
  auto ms = [](double s) { return fixed(s * 1000, 1) + " ms"; };
  const std::string figure = "P3 one " + bytes_text(static_cast<double>(config_.p3_bytes)) +
                             " file, until the subscriber has it";
  return {{figure, "`quorrel_client -f` via quorreld", ms(median(ours)), ratio_text(median(ratio)),
           "≤ 1.1×", verdict(median(ratio), 1.1, true)},
          {"", "`mosquitto_pub -f`", ms(median(pub)), ratio_text(1), "", ""}};
}

// Instructions the daemon executes (all threads, start to exit) when it
// relays `count` datagrams after its start-up probes, under callgrind.
long long Bench::callgrind_instructions(size_t count, int qos) {
  const std::string out = dir_.file("callgrind." + std::to_string(count));
  Relay relay = start_relay("cg" + std::to_string(qos) + "_" + std::to_string(count), qos,
                            "valgrind --tool=callgrind --callgrind-out-file=" + out);
  const std::string prefix = "cg " + std::to_string(count) + " ";
  sub_.expect_sequence(prefix, count);
  send_datagrams(relay.dgram_path, prefix, count);
  const Delivery d = sub_.wait(milliseconds(30000));
  if (d.delivered != count) throw BenchError("callgrind run lost datagrams");
  relay.daemon->process().stop(milliseconds(30000));
  std::string profile;
  if (!quorrel_test::read_file(out, &profile)) {
    throw BenchError("callgrind wrote no profile: " + relay.daemon->process().stderr_text());
  }
  const size_t at = profile.find("\nsummary: ");
  if (at == std::string::npos) throw BenchError("callgrind profile has no summary");
  return strtoll(profile.c_str() + at + 10, nullptr, 10);
}

std::vector<Row> Bench::footprint() {
  std::vector<Row> rows;
  // Idle RSS: a freshly started, connected daemon against an idle
  // mosquitto_sub that has received one message. A fresh pair per
  // repetition: where the libraries land (address randomisation) moves the
  // resident set by tens of KiB from one start to the next.
  const bool musl = !config_.musl_dir.empty();
  MqttSubscriber pinger;
  if (!pinger.connect(broker_->port())) throw BenchError("pinger did not connect");
  std::vector<double> ours, theirs, ratio, ours_musl, ratio_musl;
  for (int rep = 0; rep < config_.reps; ++rep) {
    Relay idle = start_relay("idle" + std::to_string(rep), 0);
    Relay idle_musl;
    if (musl) {
      idle_musl = start_relay("idle_musl" + std::to_string(rep), 0, "", musl_program("quorreld"));
    }
    Process msub;
    const std::string topic = "bench/idle/" + std::to_string(rep);
    if (!msub.start("mosquitto_sub", {"mosquitto_sub", "-h", "127.0.0.1", "-p",
                                      std::to_string(broker_->port()), "-t", topic})) {
      throw BenchError("cannot start mosquitto_sub");
    }
    if (!quorrel_test::wait_until(
            [&] {
              pinger.publish(topic, "ping");
              return msub.stdout_text().find("ping") != std::string::npos;
            },
            milliseconds(10000))) {
      throw BenchError("mosquitto_sub received nothing");
    }
    std::this_thread::sleep_for(milliseconds(500));
    ours.push_back(static_cast<double>(resident_kib(idle.daemon->process().pid())));
    theirs.push_back(static_cast<double>(resident_kib(msub.pid())));
    ratio.push_back(ours.back() / theirs.back());
    if (musl) {
      ours_musl.push_back(static_cast<double>(resident_kib(idle_musl.daemon->process().pid())));
      ratio_musl.push_back(ours_musl.back() / theirs.back());
    }
  }
  const double loaded = static_cast<double>(resident_kib(relay_q1_.daemon->process().pid()));
  const double large = static_cast<double>(resident_kib(relay_q0_.daemon->process().pid()));
  auto kib = [](double k) { return fixed(k, 0) + " KiB"; };
  rows.push_back({"P4 footprint", "idle RSS of a connected quorreld", kib(median(ours)),
                  fixed(median(ratio), 3) + "×", "≤ 1.0× mosquitto_sub",
                  verdict(median(ratio), 1.0, true)});
  if (musl) {
    rows.push_back({"", "idle RSS of a connected static musl quorreld", kib(median(ours_musl)),
                    fixed(median(ratio_musl), 3) + "×", "", ""});
  }
  rows.push_back({"", "idle RSS of `mosquitto_sub`", kib(median(theirs)), ratio_text(1), "", ""});
  rows.push_back({"", "RSS of the QoS 1 quorreld after the P2 runs", kib(loaded),
                  ratio_text(loaded / median(theirs)), "", ""});
  rows.push_back({"", "RSS of the QoS 0 quorreld after the P2 and P3 runs", kib(large),
                  ratio_text(large / median(theirs)), "", ""});
  if (musl) {
    // Whether the musl daemon hands memory back: fresh daemons, one after a
    // burst and one after a large message, each measured once it has
    // delivered everything and settled.
    const std::string program = musl_program("quorreld");
    Relay burst = start_relay("musl_q1", 1, "", program);
    send_all_delivered(burst, "p4 musl ");
    std::this_thread::sleep_for(milliseconds(1000));
    const double after_burst = static_cast<double>(resident_kib(burst.daemon->process().pid()));

    write_large_file();
    Relay large_relay = start_relay("musl_large", 0, "", program);
    large_run(
        {musl_program("quorrel_client"), "--unixsock", large_relay.stream_path, "-f", large_path_});
    std::this_thread::sleep_for(milliseconds(1000));
    const double after_large =
        static_cast<double>(resident_kib(large_relay.daemon->process().pid()));

    rows.push_back({"",
                    "RSS of a static musl quorreld (QoS 1) after " +
                        std::to_string(config_.p2_count) + " datagrams",
                    kib(after_burst), ratio_text(after_burst / median(theirs)), "", ""});
    rows.push_back({"",
                    "RSS of a static musl quorreld after one " +
                        bytes_text(static_cast<double>(config_.p3_bytes)) +
                        " `quorrel_client -f` message",
                    kib(after_large), ratio_text(after_large / median(theirs)), "", ""});
  }

  // Stripped sizes.
  auto stripped = [&](const std::string& path) {
    const std::string copy = dir_.file("stripped");
    const quorrel_test::CommandResult r = quorrel_test::run_command({"strip", "-o", copy, path});
    struct stat st;
    if (!r.finished || r.exit_code != 0 || stat(copy.c_str(), &st) != 0) {
      throw BenchError("strip " + path + " failed: " + r.err);
    }
    return static_cast<double>(st.st_size);
  };
  const double client_size = stripped(QUORREL_CLIENT_PATH);
  const double daemon_size = stripped(QUORRELD_PATH);
  const double pub_size = stripped("/usr/bin/mosquitto_pub");
  rows.push_back({"", "`quorrel_client` stripped", bytes_text(client_size), "", "≤ 64 KiB",
                  client_size <= 64 * 1024 ? "holds" : "missed"});
  rows.push_back({"", "`quorreld` stripped", bytes_text(daemon_size), "", "", ""});
  if (musl) {
    const double musl_client_size = stripped(musl_program("quorrel_client"));
    const double musl_daemon_size = stripped(musl_program("quorreld"));
    rows.push_back(
        {"", "static musl `quorrel_client` stripped", bytes_text(musl_client_size), "", "", ""});
    rows.push_back(
        {"", "static musl `quorreld` stripped", bytes_text(musl_daemon_size), "", "", ""});
  }
  rows.push_back({"", "`mosquitto_pub` stripped, for scale", bytes_text(pub_size), "", "", ""});

  // Instructions per relayed datagram: the difference between two runs
  // that differ only in the number of datagrams, so start-up and shutdown
  // cancel out.
  for (int qos = 0; qos <= 1; ++qos) {
    const long long one = callgrind_instructions(config_.cg_count, qos);
    const long long two = callgrind_instructions(2 * config_.cg_count, qos);
    const double per = static_cast<double>(two - one) / static_cast<double>(config_.cg_count);
    rows.push_back({"",
                    "instructions per relayed " + std::to_string(config_.p2_size) +
                        " B datagram, QoS " + std::to_string(qos) + " (callgrind, all threads)",
                    fixed(per, 0), "", "", ""});
  }
  return rows;
}

// Peak resident memory of a fresh daemon under the two loads that made it
// grow with the broker rather than the device: a QoS 1 burst from a blocking
// sender, and a sender offering more than a frozen broker takes. Back-pressure
// bounds both at idle + the high-water mark + 2 MiB.
std::vector<Row> Bench::peak_memory() {
  std::vector<Row> rows;
  const double bound_kib = static_cast<double>(kHighWaterBytes / 1024 + 2 * 1024);
  auto kib = [](double k) { return fixed(k, 0) + " KiB"; };
  auto row = [&](const std::string& figure, const std::string& measured, double idle, double peak) {
    rows.push_back({figure, measured, kib(peak),
                    "+" + fixed(peak - idle, 0) + " KiB over idle " + fixed(idle, 0) + " KiB",
                    "≤ idle + " + kib(bound_kib), verdict(peak - idle, bound_kib, true)});
  };

  {
    Relay burst = start_relay("p5_q1", 1);
    const pid_t pid = burst.daemon->process().pid();
    std::this_thread::sleep_for(milliseconds(300));
    const double idle = static_cast<double>(resident_kib(pid));
    send_all_delivered(burst, "p5 q1 ");
    row("P5 peak memory",
        "peak RSS (VmHWM) over a " + std::to_string(config_.p2_count) + " × " +
            std::to_string(config_.p2_size) + " B QoS 1 burst",
        idle, static_cast<double>(peak_resident_kib(pid)));
  }

  {
    // A broker of its own, frozen with SIGSTOP while a sender offers 64 MiB
    // (16 MiB in a smoke run) of 32 KiB datagrams without blocking; the
    // sender stops once the daemon has taken nothing for a second.
    quorrel_test::BrokerOptions options;
    options.quiet_log = true;
    MosquittoBroker frozen_broker(options);
    if (!frozen_broker.start()) throw BenchError("broker: " + frozen_broker.error());
    Relay relay = start_relay("p5_frozen", 0, "", QUORRELD_PATH, &frozen_broker);
    const pid_t pid = relay.daemon->process().pid();
    std::this_thread::sleep_for(milliseconds(300));
    const double idle = static_cast<double>(resident_kib(pid));
    const int fd = connect_datagram(relay.dgram_path, SOCK_NONBLOCK);
    const int sndbuf = 256 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const size_t offered = (config_.smoke ? 16u : 64u) << 20;
    const std::string payload(32 * 1024, 'f');
    kill(frozen_broker.pid(), SIGSTOP);
    size_t taken = 0;
    while (taken < offered) {
      bool sent = false;
      for (int tries = 0; tries < 100 && !sent; ++tries) {
        sent = send(fd, payload.data(), payload.size(), 0) >= 0;
        if (!sent) std::this_thread::sleep_for(milliseconds(10));
      }
      if (!sent) break;
      taken += payload.size();
    }
    const double peak = static_cast<double>(peak_resident_kib(pid));
    kill(frozen_broker.pid(), SIGCONT);
    close(fd);
    row("",
        "peak RSS (VmHWM) with the broker frozen, " + bytes_text(static_cast<double>(taken)) +
            " of " + bytes_text(static_cast<double>(offered)) + " offered taken",
        idle, peak);
  }
  return rows;
}

std::vector<std::string> Bench::heading() const {
  std::vector<std::string> lines;
  struct utsname u;
  uname(&u);
  std::string cpuinfo;
  quorrel_test::read_file("/proc/cpuinfo", &cpuinfo);
  std::string model = "unknown CPU";
  const size_t at = cpuinfo.find("model name");
  if (at != std::string::npos) {
    model = first_line(cpuinfo.substr(cpuinfo.find(':', at) + 2));
  }
  int major = 0, minor = 0, revision = 0;
  mosquitto_lib_version(&major, &minor, &revision);
  const quorrel_test::CommandResult broker = quorrel_test::run_command({"mosquitto", "-h"});
  lines.push_back(std::string("Machine: ") + model + ", " +
                  std::to_string(sysconf(_SC_NPROCESSORS_ONLN)) + " cores online, " + u.sysname +
                  " " + u.release + " " + u.machine + "; broker " +
                  first_line(broker.out + broker.err) + ", libmosquitto " + std::to_string(major) +
                  "." + std::to_string(minor) + "." + std::to_string(revision) + ".");
  lines.push_back("Medians of " + std::to_string(config_.reps) +
                  " repetitions; each ratio is the median of the per-repetition ratios against "
                  "its anchor, measured side by side in the same run.");
  if (!config_.version.empty()) {
    lines.push_back("quorreld and quorrel_client built from " + config_.version + ".");
  }
  if (has_baseline()) {
    lines.push_back("Baseline " + config_.baseline_name +
                    ": its quorreld and quorrel_client, measured beside the current ones in the "
                    "same run, taking turns.");
  }
  if (!config_.daemon_args.empty()) {
    std::string args;
    for (const std::string& a : config_.daemon_args) args += " " + a;
    lines.push_back("The current quorreld of P2 and P8 runs with" + args + ".");
  }
  if (config_.smoke) {
    lines.push_back("SMOKE RUN: tiny counts, the figures mean nothing.");
  }
  return lines;
}

int run(int argc, char** argv) {
  Config config;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--smoke") {
      config.smoke = true;
      config.reps = 1;
      config.p1_count = 3;
      config.p2_count = 500;
      config.p3_bytes = 256 << 10;
      config.cg_count = 50;
      config.one_count = 20;
      config.queue.count = 2000;
      config.queue.queue_kib = 256;
      config.fleet.daemons = 3;
      config.fleet.outage_seconds = 5;
      config.fleet.settle_seconds = 1;
      config.fleet.recovery_limit_seconds = 30;
    } else if (a == "--fleet-daemons" && i + 1 < argc) {
      config.fleet.daemons = strtoul(argv[++i], nullptr, 10);
    } else if (a == "--fleet-outage" && i + 1 < argc) {
      config.fleet.outage_seconds = atoi(argv[++i]);
    } else if (a == "--reps" && i + 1 < argc) {
      config.reps = atoi(argv[++i]);
    } else if (a == "--cg-count" && i + 1 < argc) {
      config.cg_count = strtoul(argv[++i], nullptr, 10);
    } else if (a == "--p2-count" && i + 1 < argc) {
      config.p2_count = strtoul(argv[++i], nullptr, 10);
    } else if (a == "--only" && i + 1 < argc) {
      config.only = argv[++i];
    } else if (a == "--out" && i + 1 < argc) {
      config.out_path = argv[++i];
    } else if (a == "--musl-dir" && i + 1 < argc) {
      config.musl_dir = argv[++i];
    } else if (a == "--baseline-dir" && i + 1 < argc) {
      config.baseline_dir = argv[++i];
    } else if (a == "--baseline-name" && i + 1 < argc) {
      config.baseline_name = argv[++i];
    } else if (a == "--daemon-arg" && i + 1 < argc) {
      config.daemon_args.push_back(argv[++i]);
    } else if (a == "--version-name" && i + 1 < argc) {
      config.version = argv[++i];
    } else if (a == "--p7-count" && i + 1 < argc) {
      config.queue.count = strtoul(argv[++i], nullptr, 10);
    } else {
      fprintf(stderr,
              "usage: %s [--smoke] [--reps N] [--only p1,p2,p3,p4,p5,p6,p7,p8,p9] [--p2-count N]"
              " [--out FILE] [--musl-dir DIR] [--fleet-daemons N] [--fleet-outage SECONDS]"
              " [--baseline-dir DIR [--baseline-name NAME]] [--p7-count N]"
              " [--daemon-arg ARG]... [--version-name TEXT]\n",
              argv[0]);
      return 2;
    }
  }
  if (config.reps < 1) config.reps = 1;
  if (config.fleet.daemons < 1) config.fleet.daemons = 1;
  if (config.fleet.outage_seconds < 1) config.fleet.outage_seconds = 1;
  if (config.queue.count < 2) config.queue.count = 2;
  try {
    Bench bench(config);
    bench.set_up();
    std::vector<Row> rows;
    auto section = [&](const char* name, const std::function<std::vector<Row>()>& figure) {
      if (config.only.find(std::string(name, 2)) == std::string::npos) return;
      fprintf(stderr, "bench: %s\n", name);
      const std::vector<Row> part = figure();
      rows.insert(rows.end(), part.begin(), part.end());
    };
    section("p1 per-message cost", [&] { return bench.per_message_cost(); });
    section("p2 sustained rate", [&] { return bench.sustained_rate(); });
    section("p3 large message", [&] { return bench.large_message(); });
    section("p4 footprint", [&] { return bench.footprint(); });
    section("p5 peak memory", [&] { return bench.peak_memory(); });
    section("p6 fleet reconnection", [&] { return fleet_reconnection(config.fleet); });
    section("p7 queue outage", [&] { return queue_outage(config.queue, bench.qos1_rate()); });
    section("p8 one at a time", [&] { return bench.one_at_a_time(); });
    section("p9 status queries", [&] { return bench.status_load(); });
    const std::string table = render_table(bench.heading(), rows);
    fputs(table.c_str(), stdout);
    std::ofstream out(config.out_path);
    out << table;
    if (!out) {
      fprintf(stderr, "bench: cannot write %s\n", config.out_path.c_str());
      return 1;
    }
    fprintf(stderr, "bench: table written to %s\n", config.out_path.c_str());
    return 0;
  } catch (const std::exception& e) {
    fprintf(stderr, "bench: FAILED: %s\n", e.what());
    return 1;
  }
}

}  // namespace
}  // namespace quorrel_bench

int main(int argc, char** argv) { return quorrel_bench::run(argc, argv); }
