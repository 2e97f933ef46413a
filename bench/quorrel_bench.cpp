// quorrel_bench: measures the relay the way its users would choose between it
// and the alternatives, each figure side by side with its anchor in the same
// run, against a private mosquitto broker on loopback. Prints one table of
// medians and ratios and writes it to the results file.
//
//   quorrel_bench [--smoke] [--reps N] [--only p1,p2,p3,p4,p5,p6] [--p2-count N] [--out FILE]
//                 [--musl-dir DIR] [--fleet-daemons N] [--fleet-outage SECONDS]
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
// make it smaller for a quicker look.
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

#include <cerrno>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/counting_subscriber.h"
#include "bench/fleet.h"
#include "bench/native_publisher.h"
#include "bench/report.h"
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
using quorrel_test::Process;
using quorrel_test::QuorreldProcess;
using quorrel_test::peak_resident_kib;
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
  std::string out_path = "bench/results.md";
  std::string only = "p1,p2,p3,p4,p5,p6";  // which figures to measure
  std::string musl_dir;                    // static musl programs to measure too, or empty
  FleetConfig fleet;                       // p6, measured once (not repeated)
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

// The relay runs' payload number `i`: "<prefix><i>" padded with dots to `size`
// bytes. Both senders make theirs with it, so they do the same work.
void make_payload(const std::string& prefix, size_t i, size_t size, std::string* payload) {
  payload->assign(size, '.');
  const std::string head = prefix + std::to_string(i);
  payload->replace(0, head.size(), head);
}

// The figures share one broker, one counting subscriber on "bench/#" and two
// relaying daemons (QoS 0 and QoS 1), all started once.
class Bench {
 public:
  explicit Bench(Config config) : config_(std::move(config)), dir_("qbench") {}

  void set_up();
  std::vector<Row> per_message_cost();
  std::vector<Row> sustained_rate();
  std::vector<Row> large_message();
  std::vector<Row> footprint();
  std::vector<Row> peak_memory();
  std::vector<std::string> heading() const;

 private:
  // Removes the lock file of a daemon started under a tool, which
  // QuorreldProcess (started by name) would otherwise remove itself.
  struct LockFile {
    std::string path;
    ~LockFile() {
      if (!path.empty()) unlink(path.c_str());
    }
    LockFile() = default;
    LockFile(LockFile&& other) noexcept : path(std::move(other.path)) { other.path.clear(); }
    LockFile& operator=(LockFile&& other) noexcept {
      std::swap(path, other.path);
      return *this;
    }
  };

  struct Relay {
    LockFile lock;  // declared first: removed after the daemon has stopped
    std::unique_ptr<QuorreldProcess> daemon;
    std::string topic;
    std::string stream_path;
    std::string dgram_path;
  };

  // Against `broker` (the shared one when null).
  Relay start_relay(const std::string& tag, int qos, const std::string& wrapper = "",
                    const std::string& program = QUORRELD_PATH, MosquittoBroker* broker = nullptr);
  void wait_relaying(Relay& relay, milliseconds timeout, MosquittoBroker* broker);
  Clock::time_point send_datagrams(const std::string& path, const std::string& prefix,
                                   size_t count);
  // Sends config_.p2_count datagrams to `relay`; throws unless every one
  // reaches the subscriber.
  void send_all_delivered(const Relay& relay, const std::string& prefix);
  double shell_loop(const std::string& body, const std::vector<std::string>& args,
                    const std::string& prefix);
  double relay_rate(const Relay& relay, int qos, int rep, bool native);
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
  relay_q0_ = start_relay("q0", 0);
  relay_q1_ = start_relay("q1", 1);
}

Bench::Relay Bench::start_relay(const std::string& tag, int qos, const std::string& wrapper,
                                const std::string& program, MosquittoBroker* broker) {
  if (broker == nullptr) broker = broker_.get();
  Relay relay;
  relay.topic = "bench/" + tag;
  relay.stream_path = dir_.file(tag + ".sock");
  relay.dgram_path = dir_.file(tag + ".dgram");
  relay.daemon = std::make_unique<QuorreldProcess>();
  const std::vector<std::string> args = {
      "--host", "127.0.0.1",      "-p",         std::to_string(broker->port()),
      "-t",     relay.topic,      "--unixsock", relay.stream_path,
      "-u",     relay.dgram_path, "-q",         std::to_string(qos)};
  const std::string name = quorrel_test::unique_daemon_name("bench_" + tag);
  bool started;
  if (wrapper.empty()) {
    started = relay.daemon->start(name, args, program);
  } else {
    // Under a tool (valgrind): the daemon's argv[0] must still be a bare
    // name, since its lock file is named after it, so it is found through a
    // link in PATH.
    const std::string link = dir_.file(name);
    if (symlink(program.c_str(), link.c_str()) != 0) throw BenchError("cannot link the daemon");
    Process& p = relay.daemon->process();
    p.set_env("PATH", dir_.path() + ":" + (getenv("PATH") ? getenv("PATH") : "/usr/bin:/bin"));
    std::vector<std::string> argv;
    std::istringstream words(wrapper);
    for (std::string w; words >> w;) argv.push_back(w);
    argv.push_back(name);
    argv.insert(argv.end(), args.begin(), args.end());
    started = p.start(argv[0], argv);
    relay.lock.path = quorrel_test::lock_file_path(name);
  }
  if (!started) throw BenchError("cannot start quorreld");
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

// A datagram socket (with `flags`) connected to `path`; throws when none.
int connect_datagram(const std::string& path, int flags) {
  const int fd = quorrel_test::connect_local(path, SOCK_DGRAM | flags);
  if (fd < 0) throw BenchError("connect " + path + ": " + strerror(errno));
  return fd;
}

// Sends `count` datagrams made by make_payload over one blocking socket;
// returns when the first was sent.
Clock::time_point Bench::send_datagrams(const std::string& path, const std::string& prefix,
                                        size_t count) {
  const int fd = connect_datagram(path, 0);
  std::string payload;
  const Clock::time_point start = Clock::now();
  for (size_t i = 0; i < count; ++i) {
    make_payload(prefix, i, config_.p2_size, &payload);
    ssize_t n;
    do {
      n = send(fd, payload.data(), payload.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n != static_cast<ssize_t>(payload.size())) {
      const int err = errno;
      close(fd);
      throw BenchError("datagram send: " + std::string(strerror(err)));
    }
  }
  close(fd);
  return start;
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
  std::vector<double> floor, client, pub, pub_tls, r_client, r_pub, r_tls;
  for (int rep = 0; rep < config_.reps; ++rep) {
    const std::string tag = "p1 r" + std::to_string(rep);
    floor.push_back(shell_loop("/bin/true \"$i\"", {}, ""));
    client.push_back(shell_loop("\"$1\" --unixsock \"$2\" -D \"$3$i\"",
                                {QUORREL_CLIENT_PATH, relay_q0_.stream_path, tag + " client "},
                                tag + " client "));
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
  return {
      {figure, "`quorrel_client -D` via quorreld, each confirmed", ms(median(client)),
       ratio_text(median(r_client)), "≤ 1.3× spawn floor", verdict(median(r_client), 1.3, true)},
      {"", "`mosquitto_pub -m`", ms(median(pub)), ratio_text(median(r_pub)), "", ""},
      {"", "`mosquitto_pub -m` with TLS client certificate", ms(median(pub_tls)),
       ratio_text(median(r_tls)), "", ""},
      {"", "`/bin/true` (spawn floor)", ms(median(floor)), ratio_text(1), "", ""},
  };
}

// One relay run: config_.p2_count messages through the daemon `relay` (or,
// when `native`, from the native publisher on "<relay topic>n") to the
// subscriber. Returns delivered messages per second; throws when a QoS 1 run
// loses any.
double Bench::relay_rate(const Relay& relay, int qos, int rep, bool native) {
  const std::string prefix =
      "p2 r" + std::to_string(rep) + (native ? " n" : " d") + std::to_string(qos) + " ";
  sub_.expect_sequence(prefix, config_.p2_count);
  Clock::time_point start;
  if (native) {
    const size_t size = config_.p2_size;
    start = Clock::now();
    native_.publish_all(
        relay.topic + "n", qos, config_.p2_count,
        [&](size_t i, std::string* payload) { make_payload(prefix, i, size, payload); },
        milliseconds(10000));
  } else {
    start = send_datagrams(relay.dgram_path, prefix, config_.p2_count);
  }
  const Delivery d = sub_.wait(milliseconds(10000));
  if (qos > 0 && d.delivered != config_.p2_count) {
    throw BenchError("QoS 1 run '" + prefix + "' delivered " + std::to_string(d.delivered) +
                     " of " + std::to_string(config_.p2_count));
  }
  if (d.delivered == 0) throw BenchError("relay run '" + prefix + "' delivered nothing");
  return static_cast<double>(d.delivered) / seconds_between(start, d.last);
}

std::vector<Row> Bench::sustained_rate() {
  std::vector<Row> rows;
  for (int qos = 0; qos <= 1; ++qos) {
    const Relay& relay = qos == 0 ? relay_q0_ : relay_q1_;
    std::vector<double> ours, native, ratio;
    for (int rep = 0; rep < config_.reps; ++rep) {
      ours.push_back(relay_rate(relay, qos, rep, false));
      native.push_back(relay_rate(relay, qos, rep, true));
      ratio.push_back(ours.back() / native.back());
    }
    auto rate = [](double r) { return fixed(r / 1000, 1) + " k msg/s"; };
    rows.push_back({"P2 sustained rate, " + std::to_string(config_.p2_count) + " × " +
                        std::to_string(config_.p2_size) + " B, QoS " + std::to_string(qos),
                    "datagrams through quorreld (blocking sender)", rate(median(ours)),
                    ratio_text(median(ratio)),
                    std::string("≥ 0.9× native") + (qos > 0 ? ", all delivered" : ""),
                    verdict(median(ratio), 0.9, false)});
    rows.push_back({"", "native persistent libmosquitto publisher", rate(median(native)),
                    ratio_text(1), "", ""});
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
  auto row = [&](const std::string& figure, const std::string& measured, double idle,
                 double peak) {
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
    row("P5 peak memory", "peak RSS (VmHWM) over a " + std::to_string(config_.p2_count) + " × " +
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
    row("", "peak RSS (VmHWM) with the broker frozen, " + bytes_text(static_cast<double>(taken)) +
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
    } else {
      fprintf(stderr,
              "usage: %s [--smoke] [--reps N] [--only p1,p2,p3,p4,p5,p6] [--p2-count N]"
              " [--out FILE] [--musl-dir DIR] [--fleet-daemons N] [--fleet-outage SECONDS]\n",
              argv[0]);
      return 2;
    }
  }
  if (config.reps < 1) config.reps = 1;
  if (config.fleet.daemons < 1) config.fleet.daemons = 1;
  if (config.fleet.outage_seconds < 1) config.fleet.outage_seconds = 1;
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
