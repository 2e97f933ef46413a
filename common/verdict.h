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
//   "1 REASON\n"    refused, REASON being one line of text, of at most
//                   kVerdictReasonMax characters.
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

// Longest verdict line, newline included: the format's one bound. The
// record's reason is sized from it, and a reader takes at most this many
// bytes.
constexpr size_t kVerdictLineMax = 256;

// Longest reason, in characters: the line less "1 " and the newline.
constexpr size_t kVerdictReasonMax = kVerdictLineMax - 3;

// What became of one stream message, for a writer that asked for a verdict:
// accepted, or refused with `reason`, one line of at most kVerdictReasonMax
// characters, NUL-terminated, without a newline. Zero-initialised, it is a
// refusal without a reason, which readers take for no verdict at all.
struct message_verdict {
  bool accepted;
  char reason[kVerdictReasonMax + 1];
};

// Writes the line that tells `verdict` into `line` and returns its length:
// "0\n" when accepted, else "1 ", the reason (up to its NUL, at most
// kVerdictReasonMax characters) and "\n". No NUL follows the line.
size_t verdict_encode(const message_verdict& verdict, char (&line)[kVerdictLineMax]) noexcept;

// Reads the reply of `length` bytes at `bytes` (everything read until the
// daemon closed, at most kVerdictLineMax bytes) into `*verdict`. True when it
// is exactly one whole line and a verdict: "0\n", or "1 " with a reason of at
// least one character and "\n". False, with `*verdict` as it was, for
// anything else: nothing, a line without its newline, more than one line, a
// NUL anywhere, a refusal without a reason, more than kVerdictLineMax bytes.
// A peer that is not quorreld rarely writes exactly such a line.
bool verdict_parse(const char* bytes, size_t length, message_verdict* verdict) noexcept;

// True when the socket address `addr` of `len` bytes (as accept or
// getpeername return it) is an abstract Unix address that asks for a verdict.
bool verdict_requested(const void* addr, size_t len) noexcept;

#endif  // QUORREL_COMMON_VERDICT_H_
