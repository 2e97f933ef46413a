#include "server/daemon_status.h"

#include <inttypes.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "server/log_throttle.h"
#include "server/message_queue.h"
#include "server/mqtt_session.h"
#include "server/relay.h"
#include "server/script_runner.h"
#include "server/settings.h"
#include "server/stream_ingress.h"

namespace {

struct status_sources {
  mqtt_session* session;
  const stream_server* stream;
  int64_t started;
};

status_sources sources{};

// The answer being written: whole lines only.
struct answer {
  char* out;
  size_t size;
  size_t used;
};

void line(answer* a, const char* format, ...) __attribute__((format(printf, 2, 3)));

void line(answer* a, const char* format, ...) {
  if (a->used >= a->size) return;
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(a->out + a->used, a->size - a->used, format, args);
  va_end(args);
  // A line that does not fit is left out whole.
  if (n > 0 && static_cast<size_t>(n) < a->size - a->used) a->used += static_cast<size_t>(n);
}

// `t` (Unix seconds) as "YYYY-MM-DDThh:mm:ssZ".
const char* iso_utc(int64_t t, char (&text)[24]) {
  const time_t when = static_cast<time_t>(t);
  struct tm tm;
  if (gmtime_r(&when, &tm) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm) == 0) {
    snprintf(text, sizeof text, "unknown");
  }
  return text;
}

// Seconds since the monotonic time `since`, whole, never below 0.
uint64_t seconds_since(double since, double now) {
  return now > since ? static_cast<uint64_t>(now - since) : 0;
}

}  // namespace

void daemon_status_init(mqtt_session* session, const stream_server* stream, int64_t started) {
  sources = status_sources{session, stream, started};
}

size_t daemon_status(char* out, size_t size) noexcept {
  answer a{out, size, 0};
  const double now = monotonic_seconds();
  char when[24];
  const session_report s = session_report_copy(sources.session);
  line(&a, "session: %s\n", s.up ? "up" : "down");
  line(&a, "session_since: %s\n", iso_utc(s.since_wall, when));
  line(&a, "session_seconds: %" PRIu64 "\n", seconds_since(s.since_mono, now));
  line(&a, "broker: %s:%d\n", args_info.host_arg, args_info.port_arg);
  line(&a, "protocol: %s\n", mqtt5_protocol() ? "5" : "3.1.1");
  line(&a, "tls: %s\n", tls_configured() ? "on" : "off");
  line(&a, "attempts: %u\n", s.attempts);
  line(&a, "last_error: %s\n", s.last_error[0] != '\0' ? s.last_error : "none");

  message_queue* q = relay_queue();
  double oldest = 0;
  const bool waiting = queue_oldest_taken(q, &oldest);
  line(&a, "queue_messages: %" PRIu32 "\n", queue_count(q));
  line(&a, "queue_bytes: %" PRIu64 "\n", queue_stored_bytes(q));
  line(&a, "queue_capacity: %" PRIu64 "\n", q->capacity);
  line(&a, "queue_store: %s\n",
       !queue_enabled(q)  ? "none"
       : queue_on_disk(q) ? args_info.queuedir_arg
                          : "memory");
  line(&a, "queue_oldest_seconds: %" PRIu64 "\n", waiting ? seconds_since(oldest, now) : 0);

  const relay_report r = relay_report_now();
  uint64_t scripts_run = 0;
  uint64_t scripts_not_run = 0;
  script_runner_counts(&scripts_run, &scripts_not_run);
  line(&a, "relayed: %" PRIu64 "\n", session_relayed(sources.session));
  line(&a, "dropped_session_down: %" PRIu64 "\n", r.session_down);
  line(&a, "dropped_connection_lost: %" PRIu64 "\n", s.dropped_unsent);
  line(&a, "dropped_queue_full: %" PRIu64 "\n", r.queue_full);
  line(&a, "dropped_too_large: %" PRIu64 "\n", sources.stream->refused_too_long + s.too_large);
  line(&a, "dropped_larger_than_queue: %" PRIu64 "\n", r.larger_than_queue);
  line(&a, "dropped_given_up: %" PRIu64 "\n", s.given_up);
  line(&a, "dropped_library_refused: %" PRIu64 "\n", s.library_refused);
  line(&a, "dropped_broker_refused: %" PRIu64 "\n", s.broker_refused);
  line(&a, "dropped_expired: %" PRIu64 "\n", r.expired);
  line(&a, "dropped_unreadable: %" PRIu64 "\n", r.unreadable);
  line(&a, "scripts_run: %" PRIu64 "\n", scripts_run);
  line(&a, "scripts_not_run: %" PRIu64 "\n", scripts_not_run);
  line(&a, "pid: %ld\n", static_cast<long>(getpid()));
  line(&a, "started: %s\n", iso_utc(sources.started, when));
  line(&a, "version: %s\n", QUORREL_VERSION);
  return a.used;
}
