#pragma once

#include <chrono>
#include <string>

namespace korvex_test {

// A loopback TCP port that was free a moment ago (bound to port 0, then
// released). Callers that start a server on it must retry on a bind clash,
// since a parallel test may take the same port in between.
int free_loopback_port();

// True when a TCP connection to host:port is accepted.
bool can_connect(const std::string& host, int port);

// Polls can_connect until it succeeds or the timeout passes.
bool wait_until_connectable(const std::string& host, int port, std::chrono::milliseconds timeout);

}  // namespace korvex_test
