#include "common/log.h"

#include <stdarg.h>
#include <stdio.h>

int debug = 0;
int daemon_mode = 0;

void diag_log_write(int level, const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  if (daemon_mode) {
    vsyslog(LOG_USER | level, format, ap);
  } else {
    vfprintf(stderr, format, ap);
  }
  va_end(ap);
}

void diag_raw(const char* format, ...) {
  va_list ap;
  va_start(ap, format);
  if (daemon_mode) {
    vsyslog(LOG_USER | LOG_DEBUG, format, ap);
  } else {
    vfprintf(stderr, format, ap);
  }
  va_end(ap);
}
