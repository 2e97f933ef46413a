#include "server/mqtt_session.h"

#include <mosquitto.h>
#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "server/heap.h"
#include "server/settings.h"

std::atomic<int> isconnect{0};
std::atomic<int> unfinished_publishes{0};

namespace {

// Most publishes waiting at once since the last trim. Raised by the main
// thread, cleared by the network thread; a lost update only moves a trim.
std::atomic<int> unfinished_peak{0};

}  // namespace

void publish_started() noexcept {
  const int now = unfinished_publishes.fetch_add(1, std::memory_order_relaxed) + 1;
  if (now > unfinished_peak.load(std::memory_order_relaxed)) {
    unfinished_peak.store(now, std::memory_order_relaxed);
  }
}

bool publish_finished() noexcept {
  int left = unfinished_publishes.fetch_sub(1, std::memory_order_relaxed) - 1;
  if (left < 0) {
    // Reports for publishes counted before the session dropped.
    unfinished_publishes.store(0, std::memory_order_relaxed);
    left = 0;
  }
  if (left != 0 || unfinished_peak.load(std::memory_order_relaxed) < kTrimAfterPublishes) {
    return false;
  }
  unfinished_peak.store(0, std::memory_order_relaxed);
  return true;
}

void forget_unfinished_publishes() noexcept {
  unfinished_publishes.store(0, std::memory_order_relaxed);
  unfinished_peak.store(0, std::memory_order_relaxed);
}

size_t shell_quoted_length(const char* text, size_t len) {
  size_t quotes = 0;
  for (size_t i = 0; i < len; ++i) quotes += text[i] == '\'' ? 1 : 0;
  // Two enclosing quotes, and three more bytes for each quote inside.
  return len + 2 + 3 * quotes;
}

size_t shell_quote(char* out, const char* text, size_t len) {
  char* p = out;
  *p++ = '\'';
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\'') {
      // Close the quote, add an escaped quote, reopen.
      memcpy(p, "'\\''", 4);
      p += 4;
    } else {
      *p++ = text[i];
    }
  }
  *p++ = '\'';
  return static_cast<size_t>(p - out);
}

namespace {

// Appends `len` bytes to the command being built at `*at`.
void put(char** at, const char* text, size_t len) {
  memcpy(*at, text, len);
  *at += len;
}

// Room for a command of `total` characters and its NUL, with `*length` set
// to `total`. Null when memory runs out, and without allocating when such a
// command could never run: a hostile payload of the broker's maximum size
// would otherwise cost up to four times that once quoted.
char* allocate_command(size_t total, size_t* length) {
  *length = total;
  if (!script_command_fits(total)) return nullptr;
  return static_cast<char*>(malloc(total + 1));
}

// Runs a command from build_*_command and frees it. A null one was either
// too long (run_script_command says so) or not allocated.
void run_and_free(char* command, size_t length, const char* which) noexcept {
  if (command == nullptr && script_command_fits(length)) {
    diag_err("out of memory, %sscript not run\n", which);
    return;
  }
  run_script_command(command, length);
  free(command);
}

}  // namespace

char* build_script_command(const char* script, const char* payload, size_t payload_len,
                           const char* sockpath, size_t* length) {
  // Bytes after a NUL could not reach the script through argv anyway; cutting
  // here keeps what sh sees identical to what the script receives.
  const size_t text_len = strnlen(payload, payload_len);
  const size_t sock_len = strlen(sockpath);
  const size_t script_len = strlen(script);
  const size_t total = 3 + script_len + 1 + shell_quoted_length(payload, text_len) + 1 +
                       shell_quoted_length(sockpath, sock_len) + 2;
  char* command = allocate_command(total, length);
  if (command == nullptr) return nullptr;
  char* at = command;
  put(&at, "sh ", 3);
  put(&at, script, script_len);
  *at++ = ' ';
  at += shell_quote(at, payload, text_len);
  *at++ = ' ';
  at += shell_quote(at, sockpath, sock_len);
  put(&at, " &", 2);
  *at = '\0';
  return command;
}

char* build_onconnect_command(const char* onconnect, size_t* length) {
  const size_t len = strlen(onconnect);
  char* command = allocate_command(len + 5, length);
  if (command == nullptr) return nullptr;
  char* at = command;
  put(&at, "sh ", 3);
  put(&at, onconnect, len);
  put(&at, " &", 3);  // with the NUL
  return command;
}

bool script_command_fits(size_t length) { return length < kMaxScriptCommand; }

int run_script_command(const char* command, size_t length) {
  if (!script_command_fits(length)) {
    diag_err("script command too long: %zu bytes, not run\n", length);
    return 1;
  }
  // The trailing '&' makes sh return at once; the script's status is not ours.
  int status = system(command);
  (void)status;
  return 0;
}

void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)obj;
  diag_debug("connect callback: %d\n", rc);
  if (rc != 0) {
    // A refused session is not a session: nothing may be published on it.
    isconnect.store(0, std::memory_order_relaxed);
    diag_err("connection refused: %s(%d)\n", mosquitto_connack_string(rc), rc);
    return;
  }
  isconnect.store(1, std::memory_order_relaxed);
  if (args_info.subtopic_given && args_info.subtopic_arg != nullptr) {
    mosquitto_subscribe(mosq, nullptr, args_info.subtopic_arg, args_info.subqos_arg);
  }
  if (args_info.onconnect_given && args_info.onconnect_arg != nullptr) {
    size_t length = 0;
    char* command = build_onconnect_command(args_info.onconnect_arg, &length);
    run_and_free(command, length, "onconnect ");
  }
}

void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)mosq;
  (void)obj;
  isconnect.store(0, std::memory_order_relaxed);
  forget_unfinished_publishes();
  diag_debug("disconnect callback: %d, reconnecting\n", rc);
}

void my_message_callback(struct mosquitto* mosq, void* obj,
                         const struct mosquitto_message* message) noexcept {
  (void)mosq;
  (void)obj;
  if (message->payloadlen <= 0 || message->payload == nullptr) return;
  const char* payload = static_cast<const char*>(message->payload);
  // libmosquitto stores a NUL after every payload, so it prints as text.
  diag_debug("%s %s\n", message->topic, payload);
  if (!args_info.script_given || args_info.script_arg == nullptr) return;
  const char* sockpath = args_info.unixsock_arg != nullptr ? args_info.unixsock_arg : "";
  size_t length = 0;
  char* command = build_script_command(args_info.script_arg, payload,
                                       static_cast<size_t>(message->payloadlen), sockpath, &length);
  run_and_free(command, length, "");
}

void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept {
  (void)mosq;
  (void)obj;
  diag_debug("publish callback: %d\n", mid);
  // The end of a burst the broker was slow to take: hand the freed messages
  // back, so that the daemon shrinks again once the broker has caught up.
  if (publish_finished()) heap_release_free();
}

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  (void)mosq;
  (void)obj;
  (void)level;
  diag_debug("%s\n", str);
}

int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept {
  (void)rwflag;
  (void)userdata;
  if (!args_info.keypassword_given || args_info.keypassword_arg == nullptr) return 0;
  const int len = static_cast<int>(strlen(args_info.keypassword_arg));
  if (len > size) {
    diag_err("key password too long: %d %d\n", len, size);
    exit(-1);
  }
  memcpy(buf, args_info.keypassword_arg, static_cast<size_t>(len));
  return len;
}

void publish_msg(void* arg, const void* payload, int payloadlen) noexcept {
  if (isconnect.load(std::memory_order_relaxed) == 0) return;
  // Counted before the library has it: its report may come before
  // mosquitto_publish returns.
  publish_started();
  const int rc =
      mosquitto_publish(static_cast<struct mosquitto*>(arg), nullptr, args_info.topic_arg,
                        payloadlen, payload, args_info.qos_arg, false);
  if (rc != MOSQ_ERR_SUCCESS) unfinished_publishes.fetch_sub(1, std::memory_order_relaxed);
  diag_debug("Publish return: %d\n", rc);
}
