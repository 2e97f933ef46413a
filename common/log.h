// Diagnostic log shared by both programs.
//
// Call sites write diag_err, diag_warn or diag_debug with the line's own text
// and arguments only. Each pastes the prefix "%s +%u %s(): " and the level
// word that goes with its level ("ERR: ", "WARNING: ", "DEBUG: ") in front of
// the text, and supplies the base name of the calling source file, the line
// and the calling function for the prefix's three conversions. A line is
// written only when `debug` >= level, and its arguments are not evaluated
// otherwise. With `daemon_mode` set it goes to the system log (facility
// LOG_USER), otherwise to standard error. A line about a failed call gives
// its cause (errno) through diag_err_errno and its kin, at the end of this
// file, never by formatting strerror itself.
//
// Thread: callable from any thread; each line is one syslog/fprintf call, whose
// own locking keeps lines whole. `debug` and `daemon_mode` are written once by
// argument processing, before any second thread exists, and only read after.
#ifndef QUORREL_COMMON_LOG_H_
#define QUORREL_COMMON_LOG_H_

#include <string.h>
#include <syslog.h>

// Log threshold: 0 until argument processing copies the `debug` setting here.
extern int debug;
// Nonzero when the `daemon` flag was given: lines go to the system log.
extern int daemon_mode;

// Returns the part of `path` after its last '/'. Usable in constant
// expressions so that call sites pass a literal.
constexpr const char* quorrel_base_name(const char* path) {
  const char* base = path;
  for (const char* p = path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

// Writes one formatted line unconditionally (the threshold test is the
// caller's, see diag_log) to the destination `daemon_mode` selects.
void diag_log_write(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes text without the prefix, at DEBUG priority, to the same destination
// as diag_log. Used for multi-part output such as hex dumps; the caller tests
// the threshold. Each call is one syslog record or one fprintf.
void diag_raw(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The facility beneath the three macros below: `format` already begins with
// QUORREL_DIAG_PREFIX and the level word of `level`.
#define diag_log(level, format, ...)                                            \
  do {                                                                          \
    if (debug >= (level)) {                                                     \
      diag_log_write((level), format, quorrel_base_name(__FILE__),              \
                     static_cast<unsigned>(__LINE__), __func__, ##__VA_ARGS__); \
    }                                                                           \
  } while (0)

// Source file, line and function, ahead of every line's level word.
#define QUORREL_DIAG_PREFIX "%s +%u %s(): "

// One line at ERR, WARNING or DEBUG level. `format` is a string literal: the
// line's own text, as it follows the level word.
#define diag_err(format, ...) diag_log(LOG_ERR, QUORREL_DIAG_PREFIX "ERR: " format, ##__VA_ARGS__)
#define diag_warn(format, ...) \
  diag_log(LOG_WARNING, QUORREL_DIAG_PREFIX "WARNING: " format, ##__VA_ARGS__)
#define diag_debug(format, ...) \
  diag_log(LOG_DEBUG, QUORREL_DIAG_PREFIX "DEBUG: " format, ##__VA_ARGS__)

// The cause of a failed call, the errno value `err` captured right after it,
// in the two forms our lines give it: QUORREL_CAUSE with diag_cause(err) reads
// "No such file or directory(2)", QUORREL_CAUSE_TEXT with diag_cause_text(err)
// "No such file or directory". Each line keeps the form it has always had, so
// that its text never changes. Paste the conversion where the line's text puts
// the cause and the arguments at the same place; diag_err_errno and
// diag_err_errno_text below do it for the usual place, the end of the line.
// REQUIRES: `err` has no side effects (it is read twice).
#define QUORREL_CAUSE "%s(%d)"
#define QUORREL_CAUSE_TEXT "%s"
#define diag_cause(err) strerror(err), (err)
#define diag_cause_text(err) strerror(err)

// One ERR line about a call that failed with errno value `err`: the line's own
// text `format`, without the cause and the newline, then ": " and the cause.
// diag_err_errno(err, "tcp listen failed") writes
// "...: ERR: tcp listen failed: Address already in use(98)"; the _text form
// leaves out the number.
#define diag_err_errno(err, format, ...) \
  diag_err(format ": " QUORREL_CAUSE "\n", ##__VA_ARGS__, diag_cause(err))
#define diag_err_errno_text(err, format, ...) \
  diag_err(format ": " QUORREL_CAUSE_TEXT "\n", ##__VA_ARGS__, diag_cause_text(err))

#endif  // QUORREL_COMMON_LOG_H_
