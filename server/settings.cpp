// The daemon's settings record, option table and help texts, made from its
// option list and bound to the shared option engine.
#include "server/settings.h"

#define CMDLINE_PACKAGE "quorreld"
#define CMDLINE_OPTIONS QUORRELD_OPTIONS
#include "common/cmdline_bindings.inc"
