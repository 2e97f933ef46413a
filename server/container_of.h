// How a libev callback reaches the record that embeds its watcher.
#ifndef QUORREL_SERVER_CONTAINER_OF_H_
#define QUORREL_SERVER_CONTAINER_OF_H_

#include <stddef.h>

#include <type_traits>

template <typename Record, typename Member>
Record* container_of_field(Member* field, size_t offset) {
  static_assert(std::is_standard_layout<Record>::value, "offsetof needs a standard-layout record");
  return reinterpret_cast<Record*>(reinterpret_cast<char*>(field) - offset);
}

// The `type` record whose field `member` is at `ptr`. The pointer must be of
// the field's own type. REQUIRES: `ptr` points at that field of a live record.
#define container_of(ptr, type, member) \
  container_of_field<type, decltype(type::member)>((ptr), offsetof(type, member))

#endif  // QUORREL_SERVER_CONTAINER_OF_H_
