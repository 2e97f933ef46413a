// The status query: how `quorrel_client --status` asks the daemon what it is
// doing, on the same stream socket that carries messages.
//
// As with the verdict (common/verdict.h), the request travels outside the
// message bytes: the asker binds its socket, before connecting, to an
// abstract address whose name begins with kStatusAddressPrefix. The daemon
// sees that address as the peer of the accepted connection, reads nothing
// from it, writes its status and closes: lines of "key: value", the first
// one "session: up" or "session: down", at most kStatusAnswerMax bytes, each
// line ending in a newline. Nothing a status connection carries is ever
// published.
//
// Thread: any; no state.
#ifndef QUORREL_COMMON_STATUS_QUERY_H_
#define QUORREL_COMMON_STATUS_QUERY_H_

#include <stddef.h>

// The name's first bytes after the leading NUL of the abstract address.
constexpr char kStatusAddressPrefix[] = "quorrel-status:";
constexpr size_t kStatusAddressPrefixLength = sizeof kStatusAddressPrefix - 1;

// Longest status answer; a reader takes at most this many bytes.
constexpr size_t kStatusAnswerMax = 4096;

// True when the socket address `addr` of `len` bytes (as accept or
// getpeername return it) is an abstract Unix address that asks for the
// status.
bool status_requested(const void* addr, size_t len) noexcept;

// True when the `length` bytes at `bytes` (everything read until the daemon
// closed) are a whole status answer: it begins with "session: ", ends with a
// newline, holds no NUL and is at most kStatusAnswerMax bytes. A peer that is
// not quorreld rarely writes such a thing.
bool status_answer_valid(const char* bytes, size_t length) noexcept;

#endif  // QUORREL_COMMON_STATUS_QUERY_H_
