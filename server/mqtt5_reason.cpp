#include "server/mqtt5_reason.h"

#include <stdio.h>

namespace {

struct reason_name {
  int code;
  const char* name;
};

// The reason codes of MQTT 5.0, section 2.4, with the names it gives them.
constexpr reason_name kReasons[] = {
    {0x00, "success"},
    {0x01, "granted qos 1"},
    {0x02, "granted qos 2"},
    {0x04, "disconnect with will message"},
    {0x10, "no matching subscribers"},
    {0x11, "no subscription existed"},
    {0x18, "continue authentication"},
    {0x19, "re-authenticate"},
    {0x80, "unspecified error"},
    {0x81, "malformed packet"},
    {0x82, "protocol error"},
    {0x83, "implementation specific error"},
    {0x84, "unsupported protocol version"},
    {0x85, "client identifier not valid"},
    {0x86, "bad user name or password"},
    {0x87, "not authorized"},
    {0x88, "server unavailable"},
    {0x89, "server busy"},
    {0x8A, "banned"},
    {0x8B, "server shutting down"},
    {0x8C, "bad authentication method"},
    {0x8D, "keep alive timeout"},
    {0x8E, "session taken over"},
    {0x8F, "topic filter invalid"},
    {0x90, "topic name invalid"},
    {0x91, "packet identifier in use"},
    {0x92, "packet identifier not found"},
    {0x93, "receive maximum exceeded"},
    {0x94, "topic alias invalid"},
    {0x95, "packet too large"},
    {0x96, "message rate too high"},
    {0x97, "quota exceeded"},
    {0x98, "administrative action"},
    {0x99, "payload format invalid"},
    {0x9A, "retain not supported"},
    {0x9B, "qos not supported"},
    {0x9C, "use another server"},
    {0x9D, "server moved"},
    {0x9E, "shared subscriptions not supported"},
    {0x9F, "connection rate exceeded"},
    {0xA0, "maximum connect time"},
    {0xA1, "subscription identifiers not supported"},
    {0xA2, "wildcard subscriptions not supported"},
};

}  // namespace

const char* mqtt5_reason_name(int code) noexcept {
  for (const reason_name& r : kReasons) {
    if (r.code == code) return r.name;
  }
  return "unknown reason";
}

char* mqtt5_reason_text(int code, const char* reason_string, char* out, size_t size) noexcept {
  if (reason_string != nullptr && reason_string[0] != '\0') {
    snprintf(out, size, "%s (0x%02X): %s", mqtt5_reason_name(code), static_cast<unsigned>(code),
             reason_string);
  } else {
    snprintf(out, size, "%s (0x%02X)", mqtt5_reason_name(code), static_cast<unsigned>(code));
  }
  return out;
}
