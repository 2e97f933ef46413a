// A broker whose TLS listener requires a client certificate.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/support/certs.h"
#include "tests/support/local_socket.h"
#include "tests/support/log_line.h"
#include "tests/support/relay_fixture.h"

namespace quorrel_test {
namespace {

class TlsBrokerFixture : public RelayFixture {
 protected:
  void SetUp() override {
    ASSERT_TRUE(test_certificates().ok) << test_certificates().error;
    RelayFixture::SetUp();
  }
  BrokerOptions broker_options() const override {
    BrokerOptions options;
    options.tls = true;
    return options;
  }
  const TestCertificates& certs() const { return test_certificates(); }
  // The options of a session with the client certificate, then `extra`.
  std::vector<std::string> tls_args(const std::vector<std::string>& extra = {}) const {
    std::vector<std::string> args = client_tls_args(certs().ca_cert);
    args.insert(args.end(), extra.begin(), extra.end());
    return args;
  }
};

TEST_F(TlsBrokerFixture, ClientCertificateSessionRelays) {
  ASSERT_NO_FATAL_FAILURE(start_daemon(tls_args(), broker_->tls_port()));
  ASSERT_TRUE(send_datagram(dgram_path_, "over tls"));
  EXPECT_EQ(next_message().payload, "over tls");
  ASSERT_TRUE(send_stream(stream_path_, "stream over tls"));
  EXPECT_EQ(next_message().payload, "stream over tls");
}

TEST_F(TlsBrokerFixture, EncryptedKeyIsUnlockedWithTheKeyPassword) {
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--cafile", certs().ca_cert, "--cert", certs().client_cert, "--key",
                    certs().client_key_encrypted, "--keypassword", certs().key_password},
                   broker_->tls_port()));
  ASSERT_TRUE(send_datagram(dgram_path_, "encrypted key"));
  EXPECT_EQ(next_message().payload, "encrypted key");
}

TEST_F(TlsBrokerFixture, EncryptedKeyWithWrongPasswordNeverConnects) {
  ASSERT_TRUE(daemon_->start(
      unique_daemon_name(test_tag()),
      daemon_args({"--cafile", certs().ca_cert, "--cert", certs().client_cert, "--key",
                   certs().client_key_encrypted, "--keypassword", "not-the-pass"},
                  broker_->tls_port())));
  EXPECT_TRUE(daemon_->process().wait_for_stderr("ERR: mosquitto_connect failed",
                                                 std::chrono::milliseconds(8000), 2))
      << daemon_->process().stderr_text();
  EXPECT_FALSE(path_exists(stream_path_));
  EXPECT_FALSE(path_exists(dgram_path_));
  EXPECT_TRUE(daemon_->process().running());
}

// A key password longer than the TLS library's buffer ends the daemon with
// status 255 and one ERR line, although the session thread is the one that
// asks for it.
TEST_F(TlsBrokerFixture, KeyPasswordTooLongEndsTheDaemonWithStatus255) {
  ASSERT_TRUE(daemon_->start(
      unique_daemon_name(test_tag()),
      daemon_args({"--cafile", certs().ca_cert, "--cert", certs().client_cert, "--key",
                   certs().client_key_encrypted, "--keypassword", std::string(5000, 'k')},
                  broker_->tls_port())));
  ASSERT_TRUE(daemon_->process().wait_exit(std::chrono::milliseconds(10000)))
      << daemon_->process().stderr_text();
  ASSERT_TRUE(daemon_->process().wait_output_closed(std::chrono::milliseconds(5000)));
  EXPECT_EQ(daemon_->process().exit_code(), 255) << daemon_->process().stderr_text();
  EXPECT_EQ(daemon_->process().count_in_stderr("ERR: key password too long: 5000 "), 1u)
      << daemon_->process().stderr_text();
}

// With TLS and the host-name check off (its default), any certificate from
// the CA passes for the broker's: one WARNING line at start-up says so and
// names the option that turns the check on. A session that checks, and a
// plain one, say nothing.
TEST_F(TlsBrokerFixture, UncheckedHostNameIsAWarningOnlyWithTlsAndTheCheckOff) {
  struct Case {
    const char* what;
    std::vector<std::string> args;
    int port;
    std::vector<std::string> warnings;  // the "WARNING: TLS: " lines
  };
  const std::vector<Case> cases = {
      {"TLS, check off",
       tls_args(),
       broker_->tls_port(),
       {"WARNING: TLS: the broker's host name is not checked against its certificate; any "
        "certificate signed by a CA in the cafile is accepted (--insecure turns the check on)"}},
      // The broker's certificate names 127.0.0.1, so the check passes.
      {"TLS, check on", tls_args({"--insecure"}), broker_->tls_port(), {}},
      {"plain", {"--cafile", certs().ca_cert, "--cert", certs().client_cert}, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_NO_FATAL_FAILURE(start_daemon(c.args, c.port));
    std::vector<std::string> warnings;
    for (const LogLine& line : log_lines_starting(daemon_->process(), "WARNING: TLS: ")) {
      warnings.push_back(line.text);
    }
    EXPECT_EQ(warnings, c.warnings) << daemon_->process().stderr_text();
  }
}

TEST_F(TlsBrokerFixture, CafileAndCertWithoutKeyGiveAPlainSession) {
  // TLS needs all three files; with two of them the session is plain, so it
  // works against the plain listener.
  ASSERT_NO_FATAL_FAILURE(
      start_daemon({"--cafile", certs().ca_cert, "--cert", certs().client_cert}));
  ASSERT_TRUE(send_datagram(dgram_path_, "plain after all"));
  EXPECT_EQ(next_message().payload, "plain after all");
}

// A broker whose certificate has expired.
class ExpiredCertificateTest : public TlsBrokerFixture {
 protected:
  BrokerOptions broker_options() const override {
    BrokerOptions options = TlsBrokerFixture::broker_options();
    options.server_cert = certs().expired_server_cert;
    options.server_key = certs().expired_server_key;
    return options;
  }
};

// A certificate not accepted says why, in OpenSSL's words: an expired one
// and one no CA in the file vouches for give different lines.
TEST_F(ExpiredCertificateTest, ExpiredAndUnknownCertificatesGiveTheirOwnReasons) {
  struct Case {
    std::string cafile;
    std::string reason;
  };
  const std::vector<Case> cases = {
      {certs().ca_cert, "certificate has expired"},
      // The broker sends its CA along, which the other CA does not know.
      {certs().other_ca_cert, "self-signed certificate in certificate chain"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reason);
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()),
                               daemon_args(client_tls_args(c.cafile), broker_->tls_port())));
    EXPECT_TRUE(daemon_->process().wait_for_stderr("certificate verify failed: " + c.reason + "(",
                                                   std::chrono::milliseconds(8000)))
        << daemon_->process().stderr_text();
  }
}

}  // namespace
}  // namespace quorrel_test
