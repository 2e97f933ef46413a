// Test certificates made with the openssl command-line tool at run time.
#ifndef QUORREL_TESTS_SUPPORT_CERTS_H_
#define QUORREL_TESTS_SUPPORT_CERTS_H_

#include <string>
#include <vector>

namespace quorrel_test {

// File paths of a small PKI: a CA, a server certificate for 127.0.0.1 and
// localhost, and a client certificate whose key also exists encrypted with
// `key_password`. All files stay readable until the test process ends.
struct TestCertificates {
  bool ok = false;
  std::string error;  // what failed when !ok
  std::string ca_cert;
  std::string server_cert;
  std::string server_key;
  std::string expired_server_cert;  // a server certificate that has expired,
  std::string expired_server_key;   // and its key
  std::string other_ca_cert;        // a CA that signed none of these
  std::string client_cert;
  std::string client_key;            // unencrypted
  std::string client_key_encrypted;  // AES-256, pass phrase key_password
  std::string key_password;
};

// The daemon's options for a TLS session with the client certificate (the
// unencrypted key), trusting `cafile`.
std::vector<std::string> client_tls_args(const std::string& cafile);

// Makes the certificates on the first call and returns the same set on every
// later call (one set per test process). Not safe for concurrent first calls.
const TestCertificates& test_certificates();

}  // namespace quorrel_test

#endif  // QUORREL_TESTS_SUPPORT_CERTS_H_
