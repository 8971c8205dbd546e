#pragma once
// Waiting for what a test asked for rather than for a while: a condition polled
// up to a deadline far past any build's pace, and the kernel's own view of a
// loopback TCP connection.

#include <chrono>
#include <functional>

namespace qv::test {

// Polls `done` every 20 ms until it holds (true) or `limit` has passed (false).
bool WaitFor(const std::function<bool()>& done,
             std::chrono::milliseconds limit = std::chrono::seconds(60));

// Whether a socket of this machine has an established connection to `port` on
// the loopback: the kernel's own table, as ss shows it.
bool ConnectedTo(int port);

// Whether the connection from local port `local` to remote port `remote` is
// still established in the kernel's table: false once it has seen the peer's
// close (the socket waits for ours) or reset (the socket is gone).
bool Established(int local, int remote);

}  // namespace qv::test
