// The daemon's settings record, option table and help texts, made from its
// option list and bound to the shared option engine.
#include "server/settings.h"

#include <string.h>

#define CMDLINE_PACKAGE "quorreld"
#define CMDLINE_OPTIONS QUORRELD_OPTIONS
#include "common/cmdline_bindings.inc"

bool mqtt5_protocol() {
  return args_info.protocol_given != 0 && args_info.protocol_arg != nullptr &&
         strcmp(args_info.protocol_arg, "5") == 0;
}
