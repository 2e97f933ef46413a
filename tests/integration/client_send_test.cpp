// quorrel_client delivers a text or a file through the daemon to the broker.
#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>

#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

const std::string kClient = QUORREL_CLIENT_PATH;

std::string pattern(size_t size) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xff);
  return bytes;
}

// A relay (broker, daemon, subscriber) and the sender pointed at it.
class ClientSendTest : public SharedRelayFixture {
 protected:
  CommandResult Send(std::vector<std::string> args) {
    args.insert(args.begin(), kClient);
    return run_command(args, milliseconds(20000));
  }
  CommandResult SendTo(const std::string& sock, std::vector<std::string> args) {
    args.insert(args.begin(), {"--unixsock", sock});
    return Send(args);
  }
  std::string File(const std::string& name, const std::string& content) {
    std::string path = dir_->file(name);
    EXPECT_TRUE(write_file(path, content));
    return path;
  }
};

TEST_F(ClientSendTest, TextArrivesExactly) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  CommandResult r = SendTo(stream_path_, {"-D", "hello 'world' $(x) \xc3\xa9"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(next_message().payload, "hello 'world' $(x) \xc3\xa9");

  // An empty text is an empty message.
  r = SendTo(stream_path_, {"-D", "", "-d", "7"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.err.find("DEBUG: data: \n"), std::string::npos) << r.err;
  EXPECT_EQ(next_message().payload, "");
  EXPECT_TRUE(nothing_more_arrives(milliseconds(300)));
}

TEST_F(ClientSendTest, FilesArriveWholeAndByteExact) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  std::string all_bytes;
  for (int i = 0; i < 256; ++i) all_bytes.push_back(static_cast<char>(i));
  const std::vector<std::string> contents = {"", pattern(5000), all_bytes, pattern(1 << 20)};
  for (size_t i = 0; i < contents.size(); ++i) {
    std::string path = File("f" + std::to_string(i), contents[i]);
    CommandResult r = SendTo(stream_path_, {"-f", path});
    EXPECT_EQ(r.exit_code, 0) << r.err;
    MqttMessage m = next_message(milliseconds(10000));
    EXPECT_EQ(m.payload.size(), contents[i].size());
    EXPECT_TRUE(m.payload == contents[i]) << "content " << i << " differs";
  }
  EXPECT_TRUE(nothing_more_arrives(milliseconds(300)));
}

TEST_F(ClientSendTest, FileIsSentInChunksOf2047Bytes) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  std::string path = File("chunks", std::string(5000, 'c'));
  CommandResult r = SendTo(stream_path_, {"-f", path, "-d", "7"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(count_occurrences(r.err, "DEBUG: length: 2047 buffer: "), 2u) << r.err;
  EXPECT_EQ(count_occurrences(r.err, "DEBUG: length: 906 buffer: "), 1u) << r.err;
  EXPECT_EQ(next_message().payload.size(), 5000u);
}

TEST_F(ClientSendTest, FileWinsOverText) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  std::string path = File("f", "from the file");
  CommandResult r = SendTo(stream_path_, {"-D", "from the text", "-f", path});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(next_message().payload, "from the file");
  EXPECT_TRUE(nothing_more_arrives(milliseconds(300)));
}

TEST_F(ClientSendTest, BadParametersPublishNothing) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  CommandResult r = SendTo(stream_path_, {"-f", dir_->file("missing"), "-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  // The line as it always was, then its cause.
  EXPECT_NE(r.err.find("ERR: fopen failed\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("ERR: fopen " + dir_->file("missing") + ": " + strerror(ENOENT) + "(" +
                       std::to_string(ENOENT) + ")\n"),
            std::string::npos)
      << r.err;

  r = SendTo(stream_path_, {});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("ERR: parameter missing :quorrel_client -D data or -f file\n"),
            std::string::npos)
      << r.err;

  // A file that opens but cannot be read (a directory) fails before connecting.
  r = SendTo(stream_path_, {"-f", dir_->path()});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("ERR: Read File:" + dir_->path() + " Failed.\n"), std::string::npos)
      << r.err;
  EXPECT_NE(r.err.find("ERR: fread: " + std::string(strerror(EISDIR)) + "(" +
                       std::to_string(EISDIR) + ")\n"),
            std::string::npos)
      << r.err;

  // None of these attempts reached the daemon, so not even an empty message appears.
  EXPECT_TRUE(nothing_more_arrives(milliseconds(700)));
}

TEST_F(ClientSendTest, NoDaemonListening) {
  CommandResult r = SendTo(dir_->file("nobody.sock"), {"-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("ERR: Could not bind connect socket: No such file or directory\n"),
            std::string::npos)
      << r.err;
}

TEST_F(ClientSendTest, SocketPathOf107CharactersWorksAnd108IsRefused) {
  std::string path107 = path_of_length("s", 107);
  stream_path_ = path107;
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  CommandResult r = SendTo(path107, {"-D", "long path"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(next_message().payload, "long path");

  std::string path108 = path_of_length("t", 108);
  r = SendTo(path108, {"-D", "x"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("ERR: " + path108 + " socket name too long\n"), std::string::npos) << r.err;
}

TEST_F(ClientSendTest, SocketPathFromConfigurationFile) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  std::string conf = File("client.conf", "# sender\nunixsock " + stream_path_ + "\n");
  CommandResult r = Send({"-c", conf, "-D", "configured"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(next_message().payload, "configured");
}

TEST_F(ClientSendTest, DetachedSenderStillDelivers) {
  ASSERT_NO_FATAL_FAILURE(start_daemon());
  CommandResult r = SendTo(stream_path_, {"--daemon", "-D", "from the background"});
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(next_message().payload, "from the background");
}

}  // namespace
}  // namespace quorrel_test
