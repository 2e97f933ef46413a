#include "common/verdict.h"

#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

bool verdict_requested(const void* addr, size_t len) noexcept {
  const size_t name_at = offsetof(struct sockaddr_un, sun_path);
  // The family, the leading NUL of an abstract name and the prefix.
  if (addr == nullptr || len < name_at + 1 + kVerdictAddressPrefixLength) return false;
  const struct sockaddr_un* un = static_cast<const struct sockaddr_un*>(addr);
  if (un->sun_family != AF_UNIX || un->sun_path[0] != '\0') return false;
  return memcmp(un->sun_path + 1, kVerdictAddressPrefix, kVerdictAddressPrefixLength) == 0;
}

size_t verdict_encode(const message_verdict& verdict, char (&line)[kVerdictLineMax]) noexcept {
  if (verdict.accepted) {
    memcpy(line, "0\n", 2);
    return 2;
  }
  // Bounded by the record's size, so a reason without its NUL still makes a
  // line that fits.
  const size_t reason_length = strnlen(verdict.reason, kVerdictReasonMax);
  memcpy(line, "1 ", 2);
  memcpy(line + 2, verdict.reason, reason_length);
  line[2 + reason_length] = '\n';
  return reason_length + 3;
}

bool verdict_parse(const char* bytes, size_t length, message_verdict* verdict) noexcept {
  if (length == 0 || length > kVerdictLineMax || bytes[length - 1] != '\n') return false;
  if (memchr(bytes, '\n', length - 1) != nullptr || memchr(bytes, '\0', length) != nullptr) {
    return false;
  }
  if (length == 2 && bytes[0] == '0') {
    verdict->accepted = true;
    verdict->reason[0] = '\0';
    return true;
  }
  if (length > 3 && bytes[0] == '1' && bytes[1] == ' ') {
    const size_t reason_length = length - 3;
    verdict->accepted = false;
    memcpy(verdict->reason, bytes + 2, reason_length);
    verdict->reason[reason_length] = '\0';
    return true;
  }
  return false;
}
