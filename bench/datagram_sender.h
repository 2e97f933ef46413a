// The load the figures put on the daemon: numbered datagrams of a fixed
// size, from one blocking socket, as fast as the daemon takes them or at a
// set pace.
#ifndef QUORREL_BENCH_DATAGRAM_SENDER_H_
#define QUORREL_BENCH_DATAGRAM_SENDER_H_

#include <stddef.h>

#include <string>

#include "tests/support/process.h"

namespace quorrel_bench {

using quorrel_test::Clock;

// Payload number `i`: "<prefix><i>" padded with dots to `size` bytes. Every
// sender makes its payloads with it, so that they all do the same work and
// CountingSubscriber::expect_sequence recognises them.
void make_payload(const std::string& prefix, size_t i, size_t size, std::string* payload);

// A datagram socket (with `flags`, such as SOCK_NONBLOCK) connected to
// `path`; the caller closes it. Throws std::runtime_error when none.
int connect_datagram(const std::string& path, int flags);

// Sends `count` payloads of `size` bytes made by make_payload over one
// blocking socket, each as soon as the socket takes it, or, when
// `per_second` is above 0, each 1 / `per_second` seconds after the one
// before (at once when sending that one took longer): a steady sender at
// that rate at most, never a burst. Returns when the first was sent.
// Throws std::runtime_error when a send fails.
Clock::time_point send_datagrams(const std::string& path, const std::string& prefix, size_t count,
                                 size_t size, double per_second = 0);

}  // namespace quorrel_bench

#endif  // QUORREL_BENCH_DATAGRAM_SENDER_H_
