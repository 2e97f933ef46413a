// The broker session always comes back, and says why while it cannot: after
// a TLS broker is killed, after a packet MQTT does not allow, through
// brokers that never answer, with every outage visible and its retries
// spread out and backing off.
#include <errno.h>
#include <signal.h>
#include <string.h>

#include <gtest/gtest.h>

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
    ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, milliseconds(20000)))
        << daemon_->process().stderr_text();
    EXPECT_LE(Clock::now() - since, bound) << daemon_->process().stderr_text();
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
// not vouch for says so, with OpenSSL's reason, once a second.
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
// keepalive loss is named, and the session is back soon after the path is;
// the session that ends start-up's failed attempts says how long they took.
TEST_F(SessionRecoveryTest, UnansweredAttemptsGiveUpAndTheSessionReturnsWithThePath) {
  ASSERT_NO_FATAL_FAILURE(start_proxy(TcpProxy::Mode::kBlackhole));
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()),
                             daemon_args({"--keepalive", "5"}, proxy_->port())));
  Process& proc = daemon_->process();
  // Not one connect left to the kernel's SYN retries for minutes.
  ASSERT_TRUE(proc.wait_for_stderr("ERR: mosquitto_connect failed: " + errno_text(ETIMEDOUT) + "\n",
                                   milliseconds(16000), 2))
      << proc.stderr_text();
  proxy_->set_mode(TcpProxy::Mode::kForward);
  ASSERT_TRUE(daemon_->wait_for_sockets(stream_path_, dgram_path_, milliseconds(10000)))
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
  ASSERT_TRUE(proc.wait_for_stderr(
      "WARNING: reconnect failed: " + std::string(strerror(ETIMEDOUT)) + ": no CONNACK after ",
      milliseconds(15000)))
      << proc.stderr_text();
  proxy_->set_mode(TcpProxy::Mode::kForward);
  ASSERT_NO_FATAL_FAILURE(expect_relaying_within(Clock::now(), milliseconds(5000)));
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
// schedule goes on where it was. The attempts come about a second apart but
// not in step, and after ten failures in all the gaps grow.
TEST_F(SessionRecoveryTest, RetriesAfterAShortSessionSpreadOutAndThenBackOff) {
  ASSERT_NO_FATAL_FAILURE(start_proxy());
  ASSERT_NO_FATAL_FAILURE(start_daemon({}, proxy_->port()));
  const size_t before = proxy_->accept_times().size();
  const Clock::time_point lost = Clock::now();
  proxy_->set_mode(TcpProxy::Mode::kReject);
  std::vector<Clock::time_point> attempts;
  ASSERT_TRUE(wait_until(
      [&] {
        attempts = proxy_->accept_times();
        attempts.erase(attempts.begin(), attempts.begin() + static_cast<long>(before));
        return attempts.size() >= 10;
      },
      milliseconds(25000)))
      << attempts.size() << " attempts\n"
      << daemon_->process().stderr_text();
  std::string gaps = "gaps:";
  for (size_t i = 1; i < attempts.size(); ++i) {
    gaps += " " + std::to_string(seconds_between(attempts[i - 1], attempts[i]));
  }
  SCOPED_TRACE(gaps);
  EXPECT_LE(seconds_between(lost, attempts[0]), 1.3);
  bool all_one_second = true;
  for (size_t i = 1; i < 9; ++i) {
    const double gap = seconds_between(attempts[i - 1], attempts[i]);
    EXPECT_GE(gap, 0.7) << "gap before attempt " << i + 1;
    EXPECT_LE(gap, 1.5) << "gap before attempt " << i + 1;
    if (gap < 0.95 || gap > 1.05) all_one_second = false;
  }
  // Eight gaps of exactly a second would be a fleet retrying in step.
  EXPECT_FALSE(all_one_second);
  // The short session and nine attempts make ten failures.
  EXPECT_GE(seconds_between(attempts[8], attempts[9]), 1.5) << "gap before attempt 10";
}

}  // namespace
}  // namespace quorrel_test
