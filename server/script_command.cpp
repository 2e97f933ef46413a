#include "server/script_command.h"

#include <stdlib.h>
#include <string.h>

#include "common/log.h"
#include "server/script_runner.h"

size_t shell_quoted_length(const char* text, size_t len) {
  size_t quotes = 0;
  for (size_t i = 0; i < len; ++i) quotes += text[i] == '\'' ? 1 : 0;
  // Two enclosing quotes, and three more bytes for each quote inside.
  return len + 2 + 3 * quotes;
}

size_t shell_quote(char* out, const char* text, size_t len) {
  char* p = out;
  *p++ = '\'';
  for (size_t i = 0; i < len; ++i) {
    if (text[i] == '\'') {
      // Close the quote, add an escaped quote, reopen.
      memcpy(p, "'\\''", 4);
      p += 4;
    } else {
      *p++ = text[i];
    }
  }
  *p++ = '\'';
  return static_cast<size_t>(p - out);
}

namespace {

// Appends `len` bytes to the command being built at `*at`.
void put(char** at, const char* text, size_t len) {
  memcpy(*at, text, len);
  *at += len;
}

// A command of `total` characters with room for them and the NUL, or why
// not. Refused without allocating when such a command could never run: a
// hostile payload of the broker's maximum size would otherwise cost up to
// four times that once quoted.
script_command allocate_command(size_t total) {
  if (total >= kMaxScriptCommand) return {kScriptCommandTooLong, nullptr, total};
  char* text = static_cast<char*>(malloc(total + 1));
  if (text == nullptr) return {kScriptCommandOutOfMemory, nullptr, total};
  return {kScriptCommandBuilt, text, total};
}

}  // namespace

script_command build_script_command(const char* script, const char* payload, size_t payload_len,
                                    const char* sockpath) {
  // Bytes after a NUL could not reach the script through argv anyway; cutting
  // here keeps what sh sees identical to what the script receives.
  const size_t text_len = strnlen(payload, payload_len);
  const size_t sock_len = strlen(sockpath);
  const size_t script_len = strlen(script);
  const size_t total = 3 + script_len + 1 + shell_quoted_length(payload, text_len) + 1 +
                       shell_quoted_length(sockpath, sock_len);
  script_command command = allocate_command(total);
  if (command.status != kScriptCommandBuilt) return command;
  char* at = command.text;
  put(&at, "sh ", 3);
  put(&at, script, script_len);
  *at++ = ' ';
  at += shell_quote(at, payload, text_len);
  *at++ = ' ';
  at += shell_quote(at, sockpath, sock_len);
  *at = '\0';
  return command;
}

script_command build_onconnect_command(const char* onconnect) {
  const size_t len = strlen(onconnect);
  script_command command = allocate_command(3 + len);
  if (command.status != kScriptCommandBuilt) return command;
  char* at = command.text;
  put(&at, "sh ", 3);
  put(&at, onconnect, len + 1);  // with the NUL
  return command;
}

void run_script_command(script_command command, const char* which) noexcept {
  switch (command.status) {
    case kScriptCommandBuilt:
      script_runner_submit(command.text, command.length);
      return;
    case kScriptCommandTooLong:
      diag_err("script command too long: %zu bytes, not run\n", command.length);
      script_runner_not_run();
      return;
    case kScriptCommandOutOfMemory:
      diag_err("out of memory, %sscript not run\n", which);
      script_runner_not_run();
      return;
  }
}
