#include "common/status_query.h"

#include <string.h>

#include "common/unix_address.h"

bool status_requested(const void* addr, size_t len) noexcept {
  return abstract_peer_named(addr, len, kStatusAddressPrefix, kStatusAddressPrefixLength);
}

bool status_answer_valid(const char* bytes, size_t length) noexcept {
  static const char kFirst[] = "session: ";
  if (bytes == nullptr || length < sizeof kFirst || length > kStatusAnswerMax) return false;
  if (memcmp(bytes, kFirst, sizeof kFirst - 1) != 0 || bytes[length - 1] != '\n') return false;
  return memchr(bytes, '\0', length) == nullptr;
}
