#include "common/log.h"

#include <stdarg.h>
#include <stdio.h>

int debug = 0;
int daemon_mode = 0;

namespace {

// The one place that picks the destination: the system log when the `daemon`
// flag was given, standard error otherwise.
__attribute__((format(printf, 2, 0))) void write_line(int level, const char* format, va_list ap) {
  if (daemon_mode) {
    vsyslog(LOG_USER | level, format, ap);
  } else {
    vfprintf(stderr, format, ap);
  }
}

}  // namespace

void diag_log_write(int level, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  write_line(level, format, ap);
  va_end(ap);
}

void diag_raw(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  write_line(LOG_DEBUG, format, ap);
  va_end(ap);
}
