#include "tests/support/relay_fixture.h"

#include <unistd.h>

#include <atomic>

namespace quorrel_test {

void RelayFixture::SetUp() {
  static std::atomic<int> counter{0};
  dir_ = std::make_unique<TempDir>("qt");
  topic_ = "quorrel/test/" + std::to_string(getpid()) + "/" + std::to_string(counter++);
  stream_path_ = dir_->file("stream.sock");
  dgram_path_ = dir_->file("dgram.sock");
  broker_ = make_broker(broker_kind(), broker_options());
  ASSERT_TRUE(broker_->start()) << broker_->error();
  sub_ = std::make_unique<MqttSubscriber>();
  ASSERT_TRUE(sub_->connect(broker_->port(), subscriber_options())) << broker_->log();
  ASSERT_TRUE(sub_->subscribe(topic_, 1));
  daemon_ = std::make_unique<QuorreldProcess>();
}

void RelayFixture::TearDown() {
  daemon_.reset();
  proxy_.reset();
  sub_.reset();
  broker_.reset();
  dir_.reset();
}

void RelayFixture::start_proxy(TcpProxy::Mode mode) {
  proxy_ = std::make_unique<TcpProxy>(broker_->port());
  ASSERT_TRUE(proxy_->start());
  proxy_->set_mode(mode);
}

std::vector<std::string> RelayFixture::daemon_args(const std::vector<std::string>& extra,
                                                   int port) const {
  if (port == 0) port = broker_->port();
  std::vector<std::string> args = {"--unixsock", stream_path_, "-u", dgram_path_,
                                   "--host",     "127.0.0.1",  "-p", std::to_string(port),
                                   "-t",         topic_};
  args.insert(args.end(), extra.begin(), extra.end());
  return args;
}

std::string RelayFixture::test_tag() {
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  return info != nullptr ? info->name() : "test";
}

void RelayFixture::start_daemon(const std::vector<std::string>& extra, int port) {
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()), daemon_args(extra, port)));
  ASSERT_TRUE(daemon_->wait_for_sockets(stream_path_, dgram_path_, milliseconds(15000)))
      << "quorreld output:\n"
      << daemon_->process().stderr_text();
  ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, milliseconds(10000)))
      << "quorreld output:\n"
      << daemon_->process().stderr_text();
}

std::string RelayFixture::path_of_length(const std::string& prefix, size_t length) const {
  std::string path = dir_->path() + "/" + prefix;
  if (path.size() < length) path.append(length - path.size(), 'x');
  return path;
}

MqttMessage RelayFixture::next_message(milliseconds timeout) {
  std::vector<MqttMessage> got = sub_->wait_for(consumed_ + 1, timeout);
  if (got.size() <= consumed_) {
    ADD_FAILURE() << "no message arrived within " << timeout.count() << " ms";
    return MqttMessage();
  }
  return got[consumed_++];
}

bool RelayFixture::nothing_more_arrives(milliseconds quiet) {
  return sub_->wait_for(consumed_ + 1, quiet).size() <= consumed_;
}

struct SharedRelayFixture::Relay {
  std::unique_ptr<TempDir> dir;
  std::unique_ptr<Broker> broker;
  std::unique_ptr<MqttSubscriber> sub;
  std::unique_ptr<QuorreldProcess> daemon;  // destroyed first, the directory last
  std::vector<std::string> running_args;
  std::string topic;
  std::string stream_path;
  std::string dgram_path;
};

std::unique_ptr<SharedRelayFixture::Relay> SharedRelayFixture::parked_;

void SharedRelayFixture::TearDownTestSuite() { parked_.reset(); }

void SharedRelayFixture::SetUp() {
  if (!parked_) {
    RelayFixture::SetUp();
    relay_stream_path_ = stream_path_;
    relay_dgram_path_ = dgram_path_;
    return;
  }
  dir_ = std::move(parked_->dir);
  broker_ = std::move(parked_->broker);
  sub_ = std::move(parked_->sub);
  daemon_ = std::move(parked_->daemon);
  running_args_ = std::move(parked_->running_args);
  topic_ = parked_->topic;
  stream_path_ = relay_stream_path_ = parked_->stream_path;
  dgram_path_ = relay_dgram_path_ = parked_->dgram_path;
  parked_.reset();
  sub_->clear();
  consumed_ = 0;
}

void SharedRelayFixture::TearDown() {
  if (HasFailure()) {
    RelayFixture::TearDown();
    return;
  }
  parked_ = std::make_unique<Relay>();
  parked_->dir = std::move(dir_);
  parked_->broker = std::move(broker_);
  parked_->sub = std::move(sub_);
  parked_->daemon = std::move(daemon_);
  parked_->running_args = std::move(running_args_);
  parked_->topic = topic_;
  // The paths the relay was set up with, not those a case chose.
  parked_->stream_path = relay_stream_path_;
  parked_->dgram_path = relay_dgram_path_;
}

void SharedRelayFixture::start_daemon(const std::vector<std::string>& extra, int port) {
  const std::vector<std::string> args = daemon_args(extra, port);
  if (args == running_args_ && daemon_->process().running()) {
    // As after a fresh start, the case begins with a daemon that relays.
    ASSERT_TRUE(daemon_->wait_until_relaying(*sub_, dgram_path_, milliseconds(10000)))
        << "quorreld output:\n"
        << daemon_->process().stderr_text();
    return;
  }
  daemon_ = std::make_unique<QuorreldProcess>();  // stops the one that ran
  running_args_ = args;
  RelayFixture::start_daemon(extra, port);
}

}  // namespace quorrel_test
