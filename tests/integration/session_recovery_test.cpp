// The broker session always comes back, and says why while it cannot: after
// a TLS broker is killed, after a packet MQTT does not allow, through
// brokers that never answer, with every outage visible and its retries
// spread out and backing off.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/certs.h"
#include "tests/support/local_socket.h"
#include "tests/support/relay_fixture.h"
#include "tests/support/tcp_proxy.h"

namespace quorrel_test {
namespace {

using std::chrono::duration_cast;

// "<the C library's text>(<number>)", as the daemon writes an errno: both
// differ between C libraries and architectures (MIPS numbers them apart).
std::string errno_text(int err) {
  return std::string(strerror(err)) + "(" + std::to_string(err) + ")";
}

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

class SessionRecoveryTest : public RelayFixture {
 protected:
  // Waits for relaying to resume; fails the test when it takes more than
  // `bound` from `since`.
  void expect_relaying_within(Clock::time_point since, milliseconds bound) {
    ASSERT_TRUE(daemon_->wait_until_relaying(
        *sub_, dgram_path_, std::max(bound + milliseconds(5000), milliseconds(20000))))
        << daemon_->process().stderr_text();
    EXPECT_LE(Clock::now() - since, bound) << daemon_->process().stderr_text();
  }

  // The longest the retry schedule leaves now between the starts of two
  // attempts of a daemon launched at `launched` whose sessions have all been
  // short (so its outage began at start-up): the outage's age, at most a
  // minute.
  static milliseconds longest_retry_gap(Clock::time_point launched) {
    return std::min(duration_cast<milliseconds>(Clock::now() - launched), milliseconds(60000));
  }
};

class TlsSessionRecoveryTest : public SessionRecoveryTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_certificates().ok) << test_certificates().error;
    SessionRecoveryTest::SetUp();
  }
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    options.tls = true;
    return options;
  }
};

// The library's own loop stopped for good after a TLS peer vanished without
// a TLS close; the session thread connects again.
TEST_F(TlsSessionRecoveryTest, KilledAndRestartedTlsBrokerIsBackWithinFiveSeconds) {
  ASSERT_NO_FATAL_FAILURE(
      start_daemon(client_tls_args(test_certificates().ca_cert), broker_->tls_port()));
  Process& proc = daemon_->process();
  kill(broker_->pid(), SIGKILL);
  broker_->stop();
  ASSERT_TRUE(proc.wait_for_stderr("WARNING: session lost: ", milliseconds(10000)))
      << proc.stderr_text();
  std::this_thread::sleep_for(milliseconds(1500));
  ASSERT_TRUE(broker_->start()) << broker_->error();
  ASSERT_NO_FATAL_FAILURE(expect_relaying_within(Clock::now(), milliseconds(5000)));
}

// Every start-up attempt against a broker whose certificate the CA file does
// not vouch for says so, with OpenSSL's reason; the first three come within
// about 3 s.
TEST_F(TlsSessionRecoveryTest, TlsFailureAtConnectIsNamedAtEveryStartUpAttempt) {
  // The client's own certificate is no CA of the broker's.
  ASSERT_TRUE(daemon_->start(
      unique_daemon_name(test_tag()),
      daemon_args(client_tls_args(test_certificates().client_cert), broker_->tls_port())));
  Process& proc = daemon_->process();
  EXPECT_TRUE(proc.wait_for_stderr(
      "certificate verify failed: self-signed certificate in certificate chain(",
      milliseconds(8000), 3))
      << proc.stderr_text();
  EXPECT_GE(proc.count_in_stderr("ERR: mosquitto_connect failed: TLS: "), 3u) << proc.stderr_text();
}

// A packet of a type MQTT does not have: the library would have stopped its
// loop for good. The session ends with an ERR line (suggesting QoS 1 to a
// QoS 2 relay) and comes back.
TEST_F(SessionRecoveryTest, MalformedPacketEndsTheSessionLoudlyAndItComesBack) {
  ASSERT_NO_FATAL_FAILURE(start_proxy());
  ASSERT_NO_FATAL_FAILURE(start_daemon({"--qos", "2"}, proxy_->port()));
  Process& proc = daemon_->process();
  proxy_->inject_to_clients(std::string("\x00\x00", 2));
  const Clock::time_point injected = Clock::now();
  ASSERT_TRUE(proc.wait_for_stderr("needs --qos 1)\n", milliseconds(10000))) << proc.stderr_text();
  EXPECT_EQ(proc.count_in_stderr("ERR: session error: "), 1u) << proc.stderr_text();
  EXPECT_EQ(proc.count_in_stderr("WARNING: session lost: "), 1u) << proc.stderr_text();
  ASSERT_NO_FATAL_FAILURE(expect_relaying_within(injected, milliseconds(5000)));
}

// Both silences: a broker whose SYNs are dropped, and one that accepts the
// connection but never answers CONNECT. Attempts give up and say so, the
// keepalive loss is named, and the session is back once the path is, within
// the schedule's gap (the sessions here are short: the outage's age counts
// from start-up); the session that ends start-up's failed attempts says how
// long they took.
TEST_F(SessionRecoveryTest, UnansweredAttemptsGiveUpAndTheSessionReturnsWithThePath) {
  ASSERT_NO_FATAL_FAILURE(start_proxy(TcpProxy::Mode::kBlackhole));
  const Clock::time_point launched = Clock::now();
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()),
                             daemon_args({"--keepalive", "5"}, proxy_->port())));
  Process& proc = daemon_->process();
  // Not one connect left to the kernel's SYN retries for minutes.
  ASSERT_TRUE(proc.wait_for_stderr("ERR: mosquitto_connect failed: " + errno_text(ETIMEDOUT) + "\n",
                                   milliseconds(16000), 2))
      << proc.stderr_text();
  proxy_->set_mode(TcpProxy::Mode::kForward);
  // An attempt may have started just before, and waits its 4 s.
  ASSERT_TRUE(daemon_->wait_for_sockets(stream_path_, dgram_path_,
                                        longest_retry_gap(launched) + milliseconds(6000)))
      << proc.stderr_text();
  ASSERT_NO_FATAL_FAILURE(
      expect_relaying_within(Clock::now() - milliseconds(100), milliseconds(5000)));
  // Start-up's failed attempts end in a line at the default level too.
  EXPECT_EQ(proc.count_in_stderr("WARNING: session up after "), 1u) << proc.stderr_text();
  const std::string err = proc.stderr_text();
  const size_t up = err.find(" s at start-up, ");
  ASSERT_NE(up, std::string::npos) << err;
  // At least the two attempts seen to fail above.
  EXPECT_GE(atoi(err.c_str() + up + 16), 2) << err;
  EXPECT_NE(err.find(" attempts failed; dropped meanwhile: 0 datagrams, 0 stream messages\n", up),
            std::string::npos)
      << err;

  proxy_->set_mode(TcpProxy::Mode::kSilent);
  ASSERT_TRUE(proc.wait_for_stderr("WARNING: session lost: keepalive timeout", milliseconds(15000)))
      << proc.stderr_text();
  // The next attempt comes within the schedule's gap and waits its 5 s
  // (the keepalive) for a CONNACK.
  ASSERT_TRUE(proc.wait_for_stderr(
      "WARNING: reconnect failed: " + std::string(strerror(ETIMEDOUT)) + ": no CONNACK after ",
      longest_retry_gap(launched) + milliseconds(8000)))
      << proc.stderr_text();
  proxy_->set_mode(TcpProxy::Mode::kForward);
  ASSERT_NO_FATAL_FAILURE(
      expect_relaying_within(Clock::now(), longest_retry_gap(launched) + milliseconds(2000)));
}

// A lost session's failed attempts are visible at the default level: the
// first with its reason, the rest counted in a line a minute at most.
TEST_F(SessionRecoveryTest, AnOutageSaysWhyItsAttemptsFailOnceAndThenSparingly) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  Process& proc = daemon_->process();
  broker_->stop();
  ASSERT_TRUE(proc.wait_for_stderr("WARNING: reconnect failed: " + errno_text(ECONNREFUSED) + "\n",
                                   milliseconds(5000)))
      << proc.stderr_text();
  std::this_thread::sleep_for(milliseconds(6000));
  EXPECT_EQ(proc.count_in_stderr("reconnect failed"), 1u) << proc.stderr_text();
  EXPECT_EQ(proc.count_in_stderr("still no session"), 0u) << proc.stderr_text();
  ASSERT_TRUE(broker_->start()) << broker_->error();
  EXPECT_TRUE(proc.wait_for_stderr("WARNING: session back after ", milliseconds(20000)))
      << proc.stderr_text();
}

// A broker that drops the session soon after accepting it (here: refuses
// every connection from then on) cannot hold the daemon in a 1 Hz loop: a
// session shorter than half a minute counts as a failed attempt, so the
// schedule goes on where it was, its outage counted from start-up. The
// attempts start at once, never less than a second apart, and each gap is
// between half and all of the outage's age, so they spread out and back off.
TEST_F(SessionRecoveryTest, RetriesAfterAShortSessionKeepTheOutagesPaceAndBackOff) {
  ASSERT_NO_FATAL_FAILURE(start_proxy());
  // The daemon's outage began after this: ages measured from here are at
  // most its start-up's time longer than its own.
  const Clock::time_point launched = Clock::now();
  ASSERT_NO_FATAL_FAILURE(start_daemon({}, proxy_->port()));
  const size_t before = proxy_->accept_times().size();
  const Clock::time_point lost = Clock::now();
  proxy_->set_mode(TcpProxy::Mode::kReject);
  std::this_thread::sleep_for(milliseconds(20000));
  std::vector<Clock::time_point> attempts = proxy_->accept_times();
  attempts.erase(attempts.begin(), attempts.begin() + static_cast<long>(before));
  std::string gaps = "started " + std::to_string(seconds_between(launched, lost)) +
                     " s before the loss; attempts at ages:";
  for (const Clock::time_point t : attempts)
    gaps += " " + std::to_string(seconds_between(launched, t));
  SCOPED_TRACE(gaps);
  ASSERT_GE(attempts.size(), 4u) << daemon_->process().stderr_text();
  EXPECT_LE(seconds_between(lost, attempts[0]), 1.3);
  for (size_t i = 1; i < attempts.size(); ++i) {
    const double gap = seconds_between(attempts[i - 1], attempts[i]);
    const double age = seconds_between(launched, attempts[i - 1]);
    EXPECT_GE(gap, 0.95) << "gap before attempt " << i + 1;
    EXPECT_LE(gap, age + 0.3) << "gap before attempt " << i + 1;
    EXPECT_GE(gap, 0.5 * age - 0.5) << "gap before attempt " << i + 1;
  }
  EXPECT_GE(seconds_between(attempts[attempts.size() - 2], attempts.back()), 2.5);
}

}  // namespace
}  // namespace quorrel_test
