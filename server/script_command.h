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

// Whether a command was built, and if not, why.
enum script_command_status {
  kScriptCommandBuilt,
  kScriptCommandTooLong,      // it would not fit one shell argument; nothing was allocated
  kScriptCommandOutOfMemory,  // malloc failed
};

// A command line from build_script_command or build_onconnect_command.
struct script_command {
  script_command_status status;
  char* text;     // NUL-terminated, from malloc, when built; null otherwise
  size_t length;  // characters without the NUL: the command's, or the one it would have had
};

// "sh <script> '<payload>' '<sockpath>'", with payload and socket path quoted
// by shell_quote. The payload is taken up to its first NUL or `payload_len`,
// whichever comes first. `script` is trusted configuration and stays as
// written. The size is checked here, once: a command of kMaxScriptCommand
// characters or more is not built. The caller owns a built `text` (freed by
// run_script_command).
script_command build_script_command(const char* script, const char* payload, size_t payload_len,
                                    const char* sockpath);

// "sh <onconnect>", built (or refused as too long) like build_script_command.
script_command build_onconnect_command(const char* onconnect);

// Hands a built `command` to script_runner_submit, which then owns its text.
// For one that was not built, writes the ERR line that says why and runs
// nothing; `which` names the script in the out-of-memory line ("onconnect ",
// or "" for the message script).
void run_script_command(script_command command, const char* which) noexcept;

#endif  // QUORREL_SERVER_SCRIPT_COMMAND_H_
