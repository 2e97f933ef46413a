// A broker whose TLS listener requires a client certificate.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

// A TLS server that reports the ALPN protocol each ClientHello offered
// (tests/support/tls_hello_server.py), on a loopback port of its own.
class TlsHelloServer {
 public:
  bool start(const std::string& alpn) {
    const TestCertificates& certs = test_certificates();
    if (!process_.start("python3",
                        {"python3", std::string(SOURCE_DIR) + "/tests/support/tls_hello_server.py",
                         "--cert", certs.server_cert, "--key", certs.server_key, "--alpn", alpn})) {
      return false;
    }
    return wait_until([&] { return port() != 0; }, std::chrono::milliseconds(10000));
  }
  int port() const {
    const std::string out = process_.stdout_text();
    return out.rfind("port ", 0) == 0 ? atoi(out.c_str() + 5) : 0;
  }
  // Lines "alpn NAME" (or "alpn -", or "handshake failed: ...") so far.
  size_t count(const std::string& line) const {
    return count_occurrences(process_.stdout_text(), line + "\n");
  }
  std::string output() const { return process_.stdout_text(); }

 private:
  mutable Process process_;
};

// The ALPN protocol is offered in every ClientHello: the first, and those of
// the attempts after the server closed the connection.
TEST_F(TlsBrokerFixture, AlpnProtocolIsOfferedInEveryClientHello) {
  TlsHelloServer server;
  ASSERT_TRUE(server.start("x-amzn-mqtt-ca")) << server.output();
  ASSERT_TRUE(daemon_->start(unique_daemon_name(test_tag()),
                             daemon_args(tls_args({"--alpn", "x-amzn-mqtt-ca"}), server.port())));
  EXPECT_TRUE(wait_until([&] { return server.count("alpn x-amzn-mqtt-ca") >= 2; },
                         std::chrono::milliseconds(10000)))
      << server.output() << daemon_->process().stderr_text();
  EXPECT_EQ(server.count("alpn -"), 0u) << server.output();
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

// A client key that lives only in a PKCS#11 token (SoftHSM2, through the
// pkcs11 OpenSSL engine and p11-kit), against a broker that requires client
// certificates.
class EngineKeyTest : public TlsBrokerFixture {
 protected:
  static constexpr const char* kPin = "4711";
  static constexpr const char* kWrongPin = "9595";
  static constexpr const char* kKeyUri = "pkcs11:token=quorrel;object=device-key;type=private";

  void SetUp() override {
#ifdef QUORREL_CROSS_BUILD
    GTEST_SKIP() << "the PKCS#11 engine is installed for the build machine only: the token's "
                    "test runs in the native builds";
#endif
    TlsBrokerFixture::SetUp();
    if (HasFatalFailure()) return;
    // The token's files in the test's directory; the daemon inherits the
    // variable that tells SoftHSM2 where they are.
    const std::string tokens = dir_->file("tokens");
    ASSERT_EQ(mkdir(tokens.c_str(), 0700), 0);
    const std::string conf = dir_->file("softhsm2.conf");
    ASSERT_TRUE(write_file(conf, "directories.tokendir = " + tokens +
                                     "\nobjectstore.backend = file\nlog.level = ERROR\n"));
    setenv("SOFTHSM2_CONF", conf.c_str(), 1);
    const std::string pkcs8 = dir_->file("key.p8");
    for (const std::vector<std::string>& step : std::vector<std::vector<std::string>>{
             {"softhsm2-util", "--init-token", "--free", "--label", "quorrel", "--pin", kPin,
              "--so-pin", "12345678"},
             {"openssl", "pkcs8", "-topk8", "-nocrypt", "-in", certs().client_key, "-out", pkcs8},
             {"softhsm2-util", "--import", pkcs8, "--token", "quorrel", "--label", "device-key",
              "--id", "01", "--pin", kPin}}) {
      const CommandResult r = run_command(step, std::chrono::milliseconds(30000));
      ASSERT_TRUE(r.finished && r.exit_code == 0) << step[0] << " " << step[1] << ": " << r.err;
    }
    // Only the token holds the key now.
    ASSERT_EQ(unlink(pkcs8.c_str()), 0);
  }
  void TearDown() override {
    TlsBrokerFixture::TearDown();
    unsetenv("SOFTHSM2_CONF");
  }

  std::vector<std::string> engine_args(const std::string& key, const std::string& pin,
                                       const std::string& engine = "pkcs11") const {
    return {"--cafile", certs().ca_cert, "--cert", certs().client_cert, "--key", key, "--keyform",
            "engine",   "--tlsengine",   engine,   "--keypassword",     pin};
  }
};

TEST_F(EngineKeyTest, KeyInATokenRelaysAndItsFailuresEndStartUpNamingThem) {
  ASSERT_NO_FATAL_FAILURE(start_daemon(engine_args(kKeyUri, kPin), broker_->tls_port()));
  ASSERT_TRUE(send_datagram(dgram_path_, "signed in the token"));
  EXPECT_EQ(next_message().payload, "signed in the token");
  // The PIN is never logged.
  EXPECT_EQ(daemon_->process().stderr_text().find(kPin), std::string::npos);

  // The daemon's own TLS context offers the ALPN protocol too.
  TlsHelloServer server;
  ASSERT_TRUE(server.start("x-amzn-mqtt-ca")) << server.output();
  std::vector<std::string> alpn_args = engine_args(kKeyUri, kPin);
  alpn_args.insert(alpn_args.end(), {"--alpn", "x-amzn-mqtt-ca"});
  daemon_ = std::make_unique<QuorreldProcess>();
  ASSERT_TRUE(
      daemon_->start(unique_daemon_name(test_tag()), daemon_args(alpn_args, server.port())));
  EXPECT_TRUE(wait_until([&] { return server.count("alpn x-amzn-mqtt-ca") >= 2; },
                         std::chrono::milliseconds(10000)))
      << server.output() << daemon_->process().stderr_text();

  struct Case {
    std::vector<std::string> args;
    std::string line;  // the ERR line, or how it begins
  };
  const std::string missing = "pkcs11:token=quorrel;object=no-such-key;type=private";
  const std::vector<Case> cases = {
      {engine_args(kKeyUri, kWrongPin), std::string("ERR: TLS key ") + kKeyUri +
                                            " in engine pkcs11: the engine cannot give the key: "
                                            "error:410000A0:PKCS#11 module::PIN incorrect\n"},
      {engine_args(missing, kPin), "ERR: TLS key " + missing +
                                       " in engine pkcs11: the engine cannot give the key: "
                                       "error:40000065:pkcs11 engine::object not found\n"},
      {engine_args(kKeyUri, kPin, "no-such-engine"),
       std::string("ERR: TLS key ") + kKeyUri +
           " in engine no-such-engine: the engine cannot be loaded: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    daemon_ = std::make_unique<QuorreldProcess>();
    ASSERT_TRUE(
        daemon_->start(unique_daemon_name(test_tag()), daemon_args(c.args, broker_->tls_port())));
    ASSERT_TRUE(daemon_->process().wait_exit(std::chrono::milliseconds(15000)))
        << daemon_->process().stderr_text();
    ASSERT_TRUE(daemon_->process().wait_output_closed(std::chrono::milliseconds(5000)));
    EXPECT_EQ(daemon_->process().exit_code(), 1);
    const std::string err = daemon_->process().stderr_text();
    EXPECT_EQ(daemon_->process().count_in_stderr("ERR: "), 1u) << err;
    EXPECT_NE(err.find(c.line), std::string::npos) << err;
    EXPECT_EQ(err.find(kWrongPin), std::string::npos) << err;
  }
}

}  // namespace
}  // namespace quorrel_test
