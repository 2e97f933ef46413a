// The sender client's settings record and argument processing.
//
// `args_info` is filled once by proc_args at start-up; strings are owned by
// the record (null when not given).
#ifndef QUORREL_CLIENT_SETTINGS_H_
#define QUORREL_CLIENT_SETTINGS_H_

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
  char* file_arg;
  char* file_orig;
  const char* file_help;
  char* data_arg;
  char* data_orig;
  const char* data_help;
  int32_t debug_arg;
  char* debug_orig;
  const char* debug_help;
  int32_t daemon_flag;
  const char* daemon_help;

  uint32_t help_given;
  uint32_t version_given;
  uint32_t config_given;
  uint32_t unixsock_given;
  uint32_t file_given;
  uint32_t data_given;
  uint32_t debug_given;
  uint32_t daemon_given;
};

#include "common/cmdline_bindings.h"

#endif  // QUORREL_CLIENT_SETTINGS_H_
