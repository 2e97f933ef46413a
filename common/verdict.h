// The sender's verdict: how a writer on the daemon's stream socket learns
// whether the daemon took responsibility for its message.
//
// The local stream protocol has no framing and no reply, so the request
// travels outside the message bytes: a writer that wants a verdict binds its
// socket, before connecting, to an abstract address (first byte of sun_path
// NUL) whose name begins with kVerdictAddressPrefix. The daemon sees that
// address as the peer of the accepted connection. After the writer's end of
// stream (shutdown of its sending side; an empty message needs no byte), the
// daemon writes one verdict line and closes:
//   "0\n"           accepted: handed to the broker session or held in the
//                   queue; not yet delivered;
//   "1 REASON\n"    refused, REASON being one line of text.
// A message refused while it is still arriving (over the length limit) has
// its verdict written at once, before the daemon closes without reading the
// rest. Writers that bind no such address get nothing back.
//
// Thread: any; no state.
#ifndef QUORREL_COMMON_VERDICT_H_
#define QUORREL_COMMON_VERDICT_H_

#include <stddef.h>

// The name's first bytes after the leading NUL of the abstract address.
constexpr char kVerdictAddressPrefix[] = "quorrel-verdict:";
constexpr size_t kVerdictAddressPrefixLength = sizeof kVerdictAddressPrefix - 1;

// Longest verdict line, newline included.
constexpr size_t kVerdictLineMax = 256;

// True when the socket address `addr` of `len` bytes (as accept or
// getpeername return it) is an abstract Unix address that asks for a verdict.
bool verdict_requested(const void* addr, size_t len) noexcept;

#endif  // QUORREL_COMMON_VERDICT_H_
