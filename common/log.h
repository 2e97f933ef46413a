// Diagnostic log shared by both programs.
//
// Every diagnostic line goes through diag_log(level, format, args...). The
// format must begin with "%s +%u %s(): " followed by the level word
// ("ERR: ", "WARNING: " or "DEBUG: "); the macro supplies the base name of the
// calling source file, the line and the calling function for those three
// conversions. A line is written only when `debug` >= level, and its arguments
// are not evaluated otherwise. With `daemon_mode` set it goes to the system
// log (facility LOG_USER), otherwise to standard error.
//
// Thread: callable from any thread; each line is one syslog/fprintf call, whose
// own locking keeps lines whole. `debug` and `daemon_mode` are written once by
// argument processing, before any second thread exists, and only read after.
#ifndef QUORREL_COMMON_LOG_H_
#define QUORREL_COMMON_LOG_H_

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

#define diag_log(level, format, ...)                                            \
  do {                                                                          \
    if (debug >= (level)) {                                                     \
      diag_log_write((level), format, quorrel_base_name(__FILE__),              \
                     static_cast<unsigned>(__LINE__), __func__, ##__VA_ARGS__); \
    }                                                                           \
  } while (0)

#endif  // QUORREL_COMMON_LOG_H_
