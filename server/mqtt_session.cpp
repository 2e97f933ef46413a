#include "server/mqtt_session.h"

#include <mosquitto.h>
#include <stdlib.h>
#include <string.h>

#include <new>

#include "common/log.h"
#include "server/settings.h"

std::atomic<int> isconnect{0};

void shell_quote_append(std::string* out, const char* text, size_t len) {
  out->push_back('\'');
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\'') {
      // Close the quote, add an escaped quote, reopen.
      out->append("'\\''");
    } else {
      out->push_back(text[i]);
    }
  }
  out->push_back('\'');
}

std::string build_script_command(const char* script, const char* payload, size_t payload_len,
                                 const char* sockpath) {
  // Bytes after a NUL could not reach the script through argv anyway; cutting
  // here keeps what sh sees identical to what the script receives.
  const size_t text_len = strnlen(payload, payload_len);
  const size_t sock_len = strlen(sockpath);
  std::string command;
  command.reserve(3 + strlen(script) + 2 * text_len + sock_len + 16);
  command.append("sh ");
  command.append(script);
  command.push_back(' ');
  shell_quote_append(&command, payload, text_len);
  command.push_back(' ');
  shell_quote_append(&command, sockpath, sock_len);
  command.append(" &");
  return command;
}

std::string build_onconnect_command(const char* onconnect) {
  std::string command("sh ");
  command.append(onconnect);
  command.append(" &");
  return command;
}

bool script_command_fits(size_t length) { return length < kMaxScriptCommand; }

int run_script_command(const std::string& command) {
  if (!script_command_fits(command.size())) {
    diag_log(LOG_ERR, "%s +%u %s(): ERR: script command too long: %zu bytes, not run\n",
             command.size());
    return 1;
  }
  // The trailing '&' makes sh return at once; the script's status is not ours.
  int status = system(command.c_str());
  (void)status;
  return 0;
}

void my_connect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)obj;
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: connect callback: %d\n", rc);
  if (rc != 0) {
    // A refused session is not a session: nothing may be published on it.
    isconnect.store(0, std::memory_order_relaxed);
    diag_log(LOG_ERR, "%s +%u %s(): ERR: connection refused: %s(%d)\n",
             mosquitto_connack_string(rc), rc);
    return;
  }
  isconnect.store(1, std::memory_order_relaxed);
  if (args_info.subtopic_given && args_info.subtopic_arg != nullptr) {
    mosquitto_subscribe(mosq, nullptr, args_info.subtopic_arg, args_info.subqos_arg);
  }
  if (args_info.onconnect_given && args_info.onconnect_arg != nullptr) {
    try {
      run_script_command(build_onconnect_command(args_info.onconnect_arg));
    } catch (const std::bad_alloc&) {
      diag_log(LOG_ERR, "%s +%u %s(): ERR: out of memory, onconnect script not run\n");
    }
  }
}

void my_disconnect_callback(struct mosquitto* mosq, void* obj, int rc) noexcept {
  (void)mosq;
  (void)obj;
  isconnect.store(0, std::memory_order_relaxed);
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: disconnect callback: %d, reconnecting\n", rc);
}

void my_message_callback(struct mosquitto* mosq, void* obj,
                         const struct mosquitto_message* message) noexcept {
  (void)mosq;
  (void)obj;
  if (message->payloadlen <= 0 || message->payload == nullptr) return;
  const char* payload = static_cast<const char*>(message->payload);
  // libmosquitto stores a NUL after every payload, so it prints as text.
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: %s %s\n", message->topic, payload);
  if (!args_info.script_given || args_info.script_arg == nullptr) return;
  const char* sockpath = args_info.unixsock_arg != nullptr ? args_info.unixsock_arg : "";
  try {
    run_script_command(build_script_command(args_info.script_arg, payload,
                                            static_cast<size_t>(message->payloadlen), sockpath));
  } catch (const std::bad_alloc&) {
    diag_log(LOG_ERR, "%s +%u %s(): ERR: out of memory, script not run\n");
  }
}

void my_publish_callback(struct mosquitto* mosq, void* obj, int mid) noexcept {
  (void)mosq;
  (void)obj;
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: publish callback: %d\n", mid);
}

void my_log_callback(struct mosquitto* mosq, void* obj, int level, const char* str) noexcept {
  (void)mosq;
  (void)obj;
  (void)level;
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: %s\n", str);
}

int my_pw_callback(char* buf, int size, int rwflag, void* userdata) noexcept {
  (void)rwflag;
  (void)userdata;
  if (!args_info.keypassword_given || args_info.keypassword_arg == nullptr) return 0;
  const int len = static_cast<int>(strlen(args_info.keypassword_arg));
  if (len > size) {
    diag_log(LOG_ERR, "%s +%u %s(): ERR: key password too long: %d %d\n", len, size);
    exit(-1);
  }
  memcpy(buf, args_info.keypassword_arg, static_cast<size_t>(len));
  return len;
}

void publish_msg(void* arg, const void* payload, int payloadlen) noexcept {
  if (isconnect.load(std::memory_order_relaxed) == 0) return;
  const int rc =
      mosquitto_publish(static_cast<struct mosquitto*>(arg), nullptr, args_info.topic_arg,
                        payloadlen, payload, args_info.qos_arg, false);
  diag_log(LOG_DEBUG, "%s +%u %s(): DEBUG: Publish return: %d\n", rc);
}
