// One reader and one writer work on one port at the same time: a read that
// waits for the reply must not keep the request from going out.

#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "serial/serial.h"
#include "support/pty_pair.hpp"

TEST(PtyConcurrency, AWaitingReadDoesNotHoldBackAWrite) {
  korvex_test::pty_pair_t pty;
  serial::Serial port(pty.path(), 115200, serial::Timeout{0, 10000, 0, 1000, 0}, serial::eightbits,
                      serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);

  std::string reply;
  std::thread reader([&] { reply = port.read(4); });

  // Two writers share the write lock; their requests arrive whole, one after the other.
  std::thread second_writer([&] { port.write(std::string("PING")); });
  port.write(std::string("ping"));
  second_writer.join();
  const std::string requests = pty.receive_text(8);
  EXPECT_TRUE(requests == "pingPING" || requests == "PINGping") << requests;

  pty.send_text("pong");
  reader.join();
  EXPECT_EQ(reply, "pong");
}
