#include "tests/support/certs.h"

#include <memory>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/temp_dir.h"

namespace quorrel_test {
namespace {

// Runs one openssl step; on failure records the command and its output.
bool openssl(TestCertificates* certs, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {"openssl"};
  argv.insert(argv.end(), args.begin(), args.end());
  CommandResult r = run_command(argv, milliseconds(60000));
  if (r.finished && r.exit_code == 0) return true;
  certs->error = "openssl";
  for (const std::string& a : args) certs->error += " " + a;
  certs->error += " failed (" + std::to_string(r.exit_code) + "): " + r.err;
  return false;
}

// Issues a certificate for `name` signed by the CA, with the extensions in
// `extensions` (an openssl extension-file body), valid from now for `days`
// days ("-1": it ends a day before it begins, so it has expired).
bool issue(TestCertificates* certs, const TempDir& dir, const std::string& name,
           const std::string& subject, const std::string& extensions,
           const std::string& days = "2") {
  const std::string key = dir.file(name + ".key");
  const std::string csr = dir.file(name + ".csr");
  const std::string ext = dir.file(name + ".ext");
  if (!write_file(ext, extensions)) {
    certs->error = "cannot write " + ext;
    return false;
  }
  return openssl(certs, {"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                         "-nodes", "-keyout", key, "-out", csr, "-subj", subject}) &&
         openssl(certs, {"x509", "-req", "-in", csr, "-CA", certs->ca_cert, "-CAkey",
                         dir.file("ca.key"), "-CAcreateserial", "-days", days, "-out",
                         dir.file(name + ".crt"), "-extfile", ext});
}

TestCertificates make_certificates(const TempDir& dir) {
  TestCertificates certs;
  certs.ca_cert = dir.file("ca.crt");
  certs.server_cert = dir.file("server.crt");
  certs.server_key = dir.file("server.key");
  certs.client_cert = dir.file("client.crt");
  certs.client_key = dir.file("client.key");
  certs.client_key_encrypted = dir.file("client_enc.key");
  certs.key_password = "qu0rrel-key-pass";

  if (!openssl(&certs, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", dir.file("ca.key"), "-out", certs.ca_cert, "-days",
                        "2", "-subj", "/CN=quorrel test CA"})) {
    return certs;
  }
  if (!issue(&certs, dir, "server", "/CN=127.0.0.1",
             "basicConstraints=CA:FALSE\n"
             "keyUsage=digitalSignature,keyEncipherment\n"
             "extendedKeyUsage=serverAuth\n"
             "subjectAltName=IP:127.0.0.1,DNS:localhost\n")) {
    return certs;
  }
  // The server's certificate again, expired, from a key of its own.
  certs.expired_server_cert = dir.file("expired.crt");
  if (!issue(&certs, dir, "expired", "/CN=127.0.0.1",
             "basicConstraints=CA:FALSE\n"
             "keyUsage=digitalSignature,keyEncipherment\n"
             "extendedKeyUsage=serverAuth\n"
             "subjectAltName=IP:127.0.0.1,DNS:localhost\n",
             "-1")) {
    return certs;
  }
  certs.expired_server_key = dir.file("expired.key");
  certs.other_ca_cert = dir.file("other_ca.crt");
  if (!openssl(&certs, {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
                        "-nodes", "-keyout", dir.file("other_ca.key"), "-out", certs.other_ca_cert,
                        "-days", "2", "-subj", "/CN=quorrel other CA"})) {
    return certs;
  }
  if (!issue(&certs, dir, "client", "/CN=quorrel test client",
             "basicConstraints=CA:FALSE\n"
             "keyUsage=digitalSignature,keyEncipherment\n"
             "extendedKeyUsage=clientAuth\n")) {
    return certs;
  }
  if (!openssl(&certs, {"pkey", "-in", certs.client_key, "-aes256", "-passout",
                        "pass:" + certs.key_password, "-out", certs.client_key_encrypted})) {
    return certs;
  }
  certs.ok = true;
  return certs;
}

}  // namespace

const TestCertificates& test_certificates() {
  // Both live until exit; the directory is removed by its destructor then.
  static TempDir dir("qc");
  static const TestCertificates certs = make_certificates(dir);
  return certs;
}

std::vector<std::string> client_tls_args(const std::string& cafile) {
  const TestCertificates& certs = test_certificates();
  return {"--cafile", cafile, "--cert", certs.client_cert, "--key", certs.client_key};
}

}  // namespace quorrel_test
