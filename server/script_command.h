// The command lines of the scripts the MQTT session starts: built with each
// argument quoted so that sh reads it back verbatim, refused when the kernel
// would not take them, and handed to the script runner, which runs them
// beside the daemon.
//
// Thread: the session thread, from the connect and message callbacks; no
// state is kept between calls.
#ifndef QUORREL_SERVER_SCRIPT_COMMAND_H_
#define QUORREL_SERVER_SCRIPT_COMMAND_H_

#include <stddef.h>

// Largest command (with its NUL) the kernel accepts as one argument of
// `sh -c`: MAX_ARG_STRLEN on Linux. Longer commands are not run.
constexpr size_t kMaxScriptCommand = 131072;

// Bytes shell_quote writes for `text[0 .. len)`.
size_t shell_quoted_length(const char* text, size_t len);

// Writes `text[0 .. len)` to `out` as one single-quoted shell word that sh
// reads back verbatim: each ' becomes '\''. Returns the bytes written (no
// NUL is added). REQUIRES: `out` has room for shell_quoted_length() bytes.
size_t shell_quote(char* out, const char* text, size_t len);

// "sh <script> '<payload>' '<sockpath>'", with payload and socket path quoted
// by shell_quote. The payload is taken up to its first NUL or `payload_len`,
// whichever comes first. `script` is trusted configuration and stays as
// written. Returns a NUL-terminated string from malloc that the caller frees,
// with its length in `*length`. Null when memory runs out, and when the
// command would not fit (script_command_fits); `*length` is set either way.
char* build_script_command(const char* script, const char* payload, size_t payload_len,
                           const char* sockpath, size_t* length);

// "sh <onconnect>", allocated (or refused as too long) like
// build_script_command.
char* build_onconnect_command(const char* onconnect, size_t* length);

// True when a command of `length` characters (without NUL) can be run.
bool script_command_fits(size_t length);

// Hands the NUL-terminated `command` of `length` characters (from malloc) to
// script_runner_submit when it fits, which then owns it; otherwise logs an
// ERR line, frees it and runs nothing (`command` may then be null). Returns 0
// when handed on, 1 when refused.
int run_script_command(char* command, size_t length) noexcept;

// Runs a command from build_*_command, which it takes. A null one was either
// too long (run_script_command says so) or not allocated (an ERR line names
// `which`: "onconnect " or "" for the message script).
void run_and_free_command(char* command, size_t length, const char* which) noexcept;

#endif  // QUORREL_SERVER_SCRIPT_COMMAND_H_
