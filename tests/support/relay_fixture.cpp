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
  broker_ = std::make_unique<MosquittoBroker>(broker_options());
  ASSERT_TRUE(broker_->start()) << broker_->error();
  sub_ = std::make_unique<MqttSubscriber>();
  ASSERT_TRUE(sub_->connect(broker_->port(), subscriber_options())) << broker_->log();
  ASSERT_TRUE(sub_->subscribe(topic_, 1));
  daemon_ = std::make_unique<QuorreldProcess>();
}

void RelayFixture::TearDown() {
  daemon_.reset();
  sub_.reset();
  broker_.reset();
  dir_.reset();
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

}  // namespace quorrel_test
