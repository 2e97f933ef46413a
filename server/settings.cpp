// The daemon's settings record, option table and help texts, made from its
// option list and bound to the shared option engine.
#include "server/settings.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

#define CMDLINE_PACKAGE "quorreld"
#define CMDLINE_OPTIONS QUORRELD_OPTIONS
#include "common/cmdline_bindings.inc"

bool mqtt5_protocol() {
  return args_info.protocol_given != 0 && args_info.protocol_arg != nullptr &&
         strcmp(args_info.protocol_arg, "5") == 0;
}

bool uint32_setting(uint32_t given, const char* orig, uint32_t* value) {
  *value = 0;
  if (given == 0 || orig == nullptr) return true;
  // The engine took the text as a C integer (decimal, 0x hex or 0 octal);
  // so is it read here, but without its 32-bit clamp and without a sign.
  const char* p = orig;
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '-' || *p == '+' || *p == '\0') return false;
  errno = 0;
  char* end = nullptr;
  const unsigned long long v = strtoull(p, &end, 0);
  if (errno != 0 || end == p || *end != '\0' || v > UINT32_MAX) return false;
  *value = static_cast<uint32_t>(v);
  return true;
}

uint32_t session_expiry_setting() {
  uint32_t v = 0;
  return uint32_setting(args_info.sessionexpiry_given, args_info.sessionexpiry_orig, &v) ? v : 0;
}

uint32_t message_expiry_setting() {
  uint32_t v = 0;
  return uint32_setting(args_info.messageexpiry_given, args_info.messageexpiry_orig, &v) ? v : 0;
}

bool tls_configured() {
  return args_info.cafile_given != 0 && args_info.cert_given != 0 && args_info.key_given != 0;
}

bool engine_keyform() {
  return args_info.keyform_given != 0 && args_info.keyform_arg != nullptr &&
         strcmp(args_info.keyform_arg, "engine") == 0;
}
