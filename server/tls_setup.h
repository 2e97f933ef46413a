// TLS for the broker session: the CA file, the client certificate and its
// key (a PEM file, or a key held by an OpenSSL engine such as a PKCS#11
// token, which never leaves it), the ALPN protocol offered in every
// ClientHello, and the words for a certificate the session did not accept.
//
// Thread: tls_configure runs on the main thread at start-up and on the
// session thread when the client starts afresh; tls_verify_reason on the
// session thread, inside the library's log callback.
#ifndef QUORREL_SERVER_TLS_SETUP_H_
#define QUORREL_SERVER_TLS_SETUP_H_

#include <stddef.h>

struct mosquitto;

// Sets up TLS on `mosq` for its next connects when it is configured
// (tls_configured): with the key from the `key` setting, a PEM file, or,
// with `keyform` engine, the key `key` names inside the `tlsengine` engine
// (the `keypassword` setting is then its PIN); the `alpn` setting, when
// given; the host-name check per `insecure`. The engine's key is loaded once,
// at start-up (`at_startup`), and kept for the life of the process: a key
// the engine cannot give ends start-up with one ERR line that names the
// engine, the key and what failed, and false. A PEM key the library cannot
// read gives an ERR line and is retried with every connect, as before.
// Returns false only for the engine's failures.
bool tls_configure(struct mosquitto* mosq, bool at_startup) noexcept;

// Why the broker's certificate was not accepted in the handshake now failing
// on `mosq` ("certificate has expired", "unable to get local issuer
// certificate", "hostname mismatch", ...), written into `out` (`size`
// bytes); false when the certificate was not the cause or the handshake is
// gone. Session thread, while the library reports the failure.
bool tls_verify_reason(struct mosquitto* mosq, char* out, size_t size) noexcept;

#endif  // QUORREL_SERVER_TLS_SETUP_H_
