// The sender client's settings record, option table and help texts, made from its
// option list and bound to the shared option engine.
#include "client/settings.h"

#define CMDLINE_PACKAGE "quorrel_client"
#define CMDLINE_OPTIONS QUORREL_CLIENT_OPTIONS
#include "common/cmdline_bindings.inc"
