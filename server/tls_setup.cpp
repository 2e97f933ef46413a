// OpenSSL 3 marks the engine interface deprecated; it is still the one that
// reaches the PKCS#11 engines devices use.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "server/tls_setup.h"

#include <mosquitto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/ui.h>
#include <openssl/x509.h>
#include <stdio.h>
#include <string.h>
#ifndef OPENSSL_NO_ENGINE
#include <openssl/engine.h>
#endif

#include "common/log.h"
#include "server/mqtt_session.h"
#include "server/settings.h"

namespace {

// The TLS context holding the certificate and the engine's key, made once at
// start-up and kept for the life of the process: every client the session
// starts afresh takes a reference to it, and the token is not asked for its
// PIN again. Null with a PEM key.
SSL_CTX* engine_context = nullptr;

// The earliest error OpenSSL queued, as its text, into `out`; the queue is
// emptied.
void openssl_reason(char* out, size_t size) {
  const unsigned long e = ERR_get_error();
  if (e == 0) {
    snprintf(out, size, "no reason given");
  } else {
    ERR_error_string_n(e, out, size);
  }
  ERR_clear_error();
}

// One ERR line for the engine's key: what failed, and OpenSSL's reason.
// Returns false, for the caller to return.
bool engine_failed(const char* what) {
  char reason[256];
  openssl_reason(reason, sizeof reason);
  diag_err("TLS key %s in engine %s: %s: %s\n", args_info.key_arg, args_info.tlsengine_arg, what,
           reason);
  return false;
}

// Sets up `ctx` as the library would its own: TLS 1.2 and later without
// compression, the broker's certificate checked against the CA file, its
// host name too with the check on (--insecure), and the ALPN protocol. The
// library is told to leave the context as it is (it would put its own
// certificate check in, which needs its TLS set-up, made only for a
// context of its own). False when the CA file cannot be read.
bool set_up_context(SSL_CTX* ctx) {
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
  if (SSL_CTX_load_verify_locations(ctx, args_info.cafile_arg, nullptr) != 1) return false;
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  if (args_info.insecure_flag == 0) {
    X509_VERIFY_PARAM* param = SSL_CTX_get0_param(ctx);
    // An address is checked as one, a name as a name.
    if (X509_VERIFY_PARAM_set1_ip_asc(param, args_info.host_arg) != 1) {
      X509_VERIFY_PARAM_set1_host(param, args_info.host_arg, 0);
    }
  }
  if (args_info.alpn_given != 0 && args_info.alpn_arg != nullptr) {
    unsigned char wire[256];
    const size_t len = strlen(args_info.alpn_arg);
    if (len == 0 || len > 254) return false;
    wire[0] = static_cast<unsigned char>(len);
    memcpy(wire + 1, args_info.alpn_arg, len);
    // 0 is success here.
    if (SSL_CTX_set_alpn_protos(ctx, wire, static_cast<unsigned>(len + 1)) != 0) return false;
  }
  return true;
}

#ifndef OPENSSL_NO_ENGINE
// Answers every question the engine would put to a person with a refusal: a
// daemon has no one to type a PIN, and the `keypassword` setting is the
// only PIN it gives.
int refuse_prompt(UI* ui, UI_STRING* uis) {
  (void)ui;
  (void)uis;
  return 0;
}

// Makes engine_context: the `tlsengine` engine's key named by `key`, unlocked
// with the `keypassword` setting as PIN, with the `cert` certificate. False
// after an ERR line.
bool load_engine_key() {
  OPENSSL_init_crypto(OPENSSL_INIT_ENGINE_ALL_BUILTIN | OPENSSL_INIT_LOAD_CONFIG, nullptr);
  ERR_clear_error();
  ENGINE* engine = ENGINE_by_id(args_info.tlsengine_arg);
  if (engine == nullptr) return engine_failed("the engine cannot be loaded");
  if (ENGINE_init(engine) != 1) {
    ENGINE_free(engine);
    return engine_failed("the engine cannot be initialised");
  }
  // The functional reference from ENGINE_init stays for the life of the
  // process: the key works through it.
  ENGINE_free(engine);
  if (args_info.keypassword_given != 0 && args_info.keypassword_arg != nullptr &&
      ENGINE_ctrl_cmd_string(engine, "PIN", args_info.keypassword_arg, 0) != 1) {
    return engine_failed("the engine takes no PIN");
  }
  UI_METHOD* no_prompt = UI_create_method("quorreld");
  if (no_prompt != nullptr) UI_method_set_reader(no_prompt, refuse_prompt);
  EVP_PKEY* key = ENGINE_load_private_key(engine, args_info.key_arg, no_prompt, nullptr);
  if (no_prompt != nullptr) UI_destroy_method(no_prompt);
  if (key == nullptr) return engine_failed("the engine cannot give the key");
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    EVP_PKEY_free(key);
    return engine_failed("no TLS context");
  }
  const char* what = nullptr;
  if (!set_up_context(ctx)) {
    what = "the CA file cannot be read";
  } else if (SSL_CTX_use_certificate_chain_file(ctx, args_info.cert_arg) != 1) {
    what = "the certificate file cannot be read";
  } else if (SSL_CTX_use_PrivateKey(ctx, key) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    what = "the key does not match the certificate";
  }
  EVP_PKEY_free(key);
  if (what != nullptr) {
    SSL_CTX_free(ctx);
    return engine_failed(what);
  }
  engine_context = ctx;
  return true;
}
#else
bool load_engine_key() { return engine_failed("this build of OpenSSL has no engines"); }
#endif

// Hands engine_context to `mosq`, which uses it as it is for every connect.
int use_engine_context(struct mosquitto* mosq) {
  int rc = mosquitto_int_option(mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
  if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, engine_context);
  return rc;
}

}  // namespace

bool tls_configure(struct mosquitto* mosq, bool at_startup) noexcept {
  if (tls_configured()) {
    int rc;
    if (engine_keyform()) {
      if (engine_context == nullptr && (!at_startup || !load_engine_key())) return false;
      rc = use_engine_context(mosq);
    } else {
      rc = mosquitto_tls_set(mosq, args_info.cafile_arg, nullptr, args_info.cert_arg,
                             args_info.key_arg, my_pw_callback);
    }
    if (rc == MOSQ_ERR_SUCCESS && !engine_keyform() && args_info.alpn_given != 0 &&
        args_info.alpn_arg != nullptr) {
      rc = mosquitto_string_option(mosq, MOSQ_OPT_TLS_ALPN, args_info.alpn_arg);
    }
    // Not fatal: the broker connection then fails and is retried, and this
    // line tells why.
    if (rc != MOSQ_ERR_SUCCESS) {
      diag_err("mosquitto_tls_set failed: %s(%d)\n", mosquitto_strerror(rc), rc);
    } else if (args_info.insecure_flag != 0 && at_startup) {
      // The default: whoever holds any certificate from these CAs (with a
      // public CA bundle, anyone) can pose as the broker.
      diag_warn(
          "TLS: the broker's host name is not checked against its certificate; any certificate "
          "signed by a CA in the cafile is accepted (--insecure turns the check on)\n");
    }
  }
  mosquitto_tls_insecure_set(mosq, args_info.insecure_flag != 0);
  return true;
}

bool tls_verify_reason(struct mosquitto* mosq, char* out, size_t size) noexcept {
  const SSL* ssl = static_cast<const SSL*>(mosquitto_ssl_get(mosq));
  if (ssl == nullptr) return false;
  const long result = SSL_get_verify_result(ssl);
  if (result == X509_V_OK) return false;
  snprintf(out, size, "%s", X509_verify_cert_error_string(result));
  return true;
}
