// The names of MQTT 5's reason codes, as the protocol's own text gives them,
// for the lines that say why the broker refused or ended something.
//
// Thread: any; no state.
#ifndef QUORREL_SERVER_MQTT5_REASON_H_
#define QUORREL_SERVER_MQTT5_REASON_H_

#include <stddef.h>

// The name of reason code `code` in lower case ("not authorized" for 0x87),
// or "unknown reason" for a code MQTT 5 does not define.
const char* mqtt5_reason_name(int code) noexcept;

// Writes "NAME (0xNN)" into `out` (`size` bytes, NUL-terminated, cut when
// short), followed by ": TEXT" when `reason_string` (the broker's own reason
// string, may be null) is not empty. Returns `out`.
char* mqtt5_reason_text(int code, const char* reason_string, char* out, size_t size) noexcept;

#endif  // QUORREL_SERVER_MQTT5_REASON_H_
