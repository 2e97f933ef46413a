// The daemon's settings record and argument processing.
//
// `args_info` is filled once by proc_args on the main thread before any other
// thread exists and is read-only afterwards, so both threads may read it
// without a lock. Strings are owned by the record (null when not given);
// integers are signed 32-bit; counters count how often an option was taken.
#ifndef QUORREL_SERVER_SETTINGS_H_
#define QUORREL_SERVER_SETTINGS_H_

#include <stdint.h>
#include <stdio.h>

#include "common/cmdline_engine.h"

struct args_info_t {
  const char* help_help;
  const char* version_help;
  char* config_arg;
  char* config_orig;
  const char* config_help;
  char* unixsock_arg;
  char* unixsock_orig;
  const char* unixsock_help;
  char* unixudpsock_arg;
  char* unixudpsock_orig;
  const char* unixudpsock_help;
  char* host_arg;
  char* host_orig;
  const char* host_help;
  int32_t port_arg;
  char* port_orig;
  const char* port_help;
  int32_t keepalive_arg;
  char* keepalive_orig;
  const char* keepalive_help;
  int32_t qos_arg;
  char* qos_orig;
  const char* qos_help;
  int32_t subqos_arg;
  char* subqos_orig;
  const char* subqos_help;
  char* id_arg;
  char* id_orig;
  const char* id_help;
  int32_t clean_session_flag;
  const char* clean_session_help;
  char* topic_arg;
  char* topic_orig;
  const char* topic_help;
  char* subtopic_arg;
  char* subtopic_orig;
  const char* subtopic_help;
  int32_t insecure_flag;
  const char* insecure_help;
  char* username_arg;
  char* username_orig;
  const char* username_help;
  char* password_arg;
  char* password_orig;
  const char* password_help;
  char* cafile_arg;
  char* cafile_orig;
  const char* cafile_help;
  char* cert_arg;
  char* cert_orig;
  const char* cert_help;
  char* key_arg;
  char* key_orig;
  const char* key_help;
  char* keypassword_arg;
  char* keypassword_orig;
  const char* keypassword_help;
  char* script_arg;
  char* script_orig;
  const char* script_help;
  char* onconnect_arg;
  char* onconnect_orig;
  const char* onconnect_help;
  char* willpayload_arg;
  char* willpayload_orig;
  const char* willpayload_help;
  int32_t willqos_arg;
  char* willqos_orig;
  const char* willqos_help;
  int32_t willretain_arg;
  char* willretain_orig;
  const char* willretain_help;
  char* willtopic_arg;
  char* willtopic_orig;
  const char* willtopic_help;
  int32_t debug_arg;
  char* debug_orig;
  const char* debug_help;
  int32_t daemon_flag;
  const char* daemon_help;

  uint32_t help_given;
  uint32_t version_given;
  uint32_t config_given;
  uint32_t unixsock_given;
  uint32_t unixudpsock_given;
  uint32_t host_given;
  uint32_t port_given;
  uint32_t keepalive_given;
  uint32_t qos_given;
  uint32_t subqos_given;
  uint32_t id_given;
  uint32_t clean_session_given;
  uint32_t topic_given;
  uint32_t subtopic_given;
  uint32_t insecure_given;
  uint32_t username_given;
  uint32_t password_given;
  uint32_t cafile_given;
  uint32_t cert_given;
  uint32_t key_given;
  uint32_t keypassword_given;
  uint32_t script_given;
  uint32_t onconnect_given;
  uint32_t willpayload_given;
  uint32_t willqos_given;
  uint32_t willretain_given;
  uint32_t willtopic_given;
  uint32_t debug_given;
  uint32_t daemon_given;
};

#include "common/cmdline_bindings.h"

#endif  // QUORREL_SERVER_SETTINGS_H_
