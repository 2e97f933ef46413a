#include "common/verdict.h"

#include <stddef.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "common/unix_address.h"

bool verdict_requested(const void* addr, size_t len) noexcept {
  return abstract_peer_named(addr, len, kVerdictAddressPrefix, kVerdictAddressPrefixLength);
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
