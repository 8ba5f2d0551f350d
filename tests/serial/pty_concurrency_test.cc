// One reader and one writer work on one port at the same time: a read that
// waits for the reply must not keep the request from going out.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial/serial.h"

TEST(PtyConcurrency, AWaitingReadDoesNotHoldBackAWrite) {
  PtyPair pty;
  serial::Serial port(pty.path(), 115200, serial::Timeout{0, 10000, 0, 1000, 0}, serial::eightbits,
                      serial::parity_none, serial::stopbits_one, serial::flowcontrol_none);

  std::string reply;
  std::thread reader([&] { reply = port.read(4); });

  // Two writers share the write lock; their requests arrive whole, one after the other.
  std::thread second_writer([&] { port.write(std::string("PING")); });
  port.write(std::string("ping"));
  second_writer.join();
  const std::string requests = pty.receive(8);
  EXPECT_TRUE(requests == "pingPING" || requests == "PINGping") << requests;

  pty.send("pong");
  reader.join();
  EXPECT_EQ(reply, "pong");
}
