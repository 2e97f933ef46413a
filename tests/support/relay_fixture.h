// A gtest fixture with a private broker, a subscriber on the relay topic and
// helpers to run quorreld against them.
#ifndef QUORREL_TESTS_SUPPORT_RELAY_FIXTURE_H_
#define QUORREL_TESTS_SUPPORT_RELAY_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/broker.h"
#include "tests/support/daemon.h"
#include "tests/support/subscriber.h"
#include "tests/support/tcp_proxy.h"
#include "tests/support/temp_dir.h"

namespace quorrel_test {

// SetUp starts a broker (of broker_kind(), configured by broker_options())
// and a subscriber on `topic_`; the daemon itself is started by the test
// through start_daemon() or by hand with daemon_args(). Everything is stopped
// and removed in reverse order when the test ends.
class RelayFixture : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Which broker SetUp starts; mosquitto unless a fixture runs its cases
  // against another (see broker_matrix_test.cpp).
  virtual BrokerKind broker_kind() const { return BrokerKind::kMosquitto; }
  virtual BrokerOptions broker_options() const { return BrokerOptions(); }
  virtual MqttClientOptions subscriber_options() const { return MqttClientOptions(); }

  // The options every daemon here needs: its two socket paths in the temp
  // dir, the broker port `port` (0: the plain listener) on 127.0.0.1 and
  // `topic_`; then `extra`.
  std::vector<std::string> daemon_args(const std::vector<std::string>& extra = {},
                                       int port = 0) const;

  // Starts `daemon_` with daemon_args(extra, port) under a unique name and
  // waits (bounded) until a probe datagram reaches the subscriber. A fatal
  // test failure, showing the daemon's output, when it does not.
  void start_daemon(const std::vector<std::string>& extra = {}, int port = 0);

  // `dir_` followed by "/" and a file name of `prefix` padded with 'x' so
  // that the whole path is `length` characters long.
  std::string path_of_length(const std::string& prefix, size_t length) const;

  // Puts `proxy_` in front of the broker's plain listener, in `mode`; a
  // fatal test failure when it cannot listen.
  void start_proxy(TcpProxy::Mode mode = TcpProxy::Mode::kForward);

  // A short tag naming the running test, for daemon names.
  static std::string test_tag();

  // Returns the subscriber's next message not yet returned, waiting for it
  // at most `timeout`; a test failure (and an empty message) when none comes.
  MqttMessage next_message(milliseconds timeout = milliseconds(5000));
  // True when no message beyond those already returned arrives in `quiet`.
  bool nothing_more_arrives(milliseconds quiet = milliseconds(1000));

  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Broker> broker_;
  std::unique_ptr<MqttSubscriber> sub_;
  std::unique_ptr<QuorreldProcess> daemon_;
  std::unique_ptr<TcpProxy> proxy_;  // set by start_proxy
  std::string topic_;
  std::string stream_path_;
  std::string dgram_path_;
  size_t consumed_ = 0;  // messages already returned by next_message
};

// A RelayFixture whose relay (temporary directory, broker, subscriber and
// daemon) the cases of one suite share, so that only the first case that
// needs a daemon waits for one to start. start_daemon() starts a daemon only
// when none runs with the same arguments (and otherwise checks, as a start
// does, that the running one relays); a case that asks for others gets a
// daemon of its own, which the next case reuses or replaces likewise. Each
// case begins with the subscriber emptied and the socket paths reset, so its
// checks see only what it causes; after a failed case the relay is stopped
// and the next case sets up afresh. For cases that leave the relay as they
// found it. The suite must run in one process: it is listed in
// integration_tests_ONE_PROCESS (CMakeLists.txt).
class SharedRelayFixture : public RelayFixture {
 protected:
  static void TearDownTestSuite();
  void SetUp() override;
  void TearDown() override;

  // Stands in for RelayFixture::start_daemon, reusing a running daemon.
  void start_daemon(const std::vector<std::string>& extra = {}, int port = 0);

 private:
  struct Relay;
  // The relay between two cases of the suite; null before the first.
  static std::unique_ptr<Relay> parked_;
  // Arguments of the running daemon_; empty when it was never started.
  std::vector<std::string> running_args_;
  // The socket paths the relay was set up with, before a case chose others.
  std::string relay_stream_path_;
  std::string relay_dgram_path_;
};

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_RELAY_FIXTURE_H_
