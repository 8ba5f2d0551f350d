// Timed reads, writes, open errors and line reads against a pseudo-terminal.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "serial/serial.h"
#include "support/pty_pair.hpp"

namespace {

using Clock = std::chrono::steady_clock;
using korvex_test::pty_pair_t;
using std::chrono::milliseconds;

constexpr uint32_t kForever = 4294967295u;

serial::Timeout readTimeout(uint32_t inter_byte, uint32_t constant) {
  return serial::Timeout{inter_byte, constant, 0, 0, 0};
}

std::unique_ptr<serial::Serial> openPort(const std::string& path, serial::Timeout timeout, uint32_t baudrate = 9600) {
  return std::make_unique<serial::Serial>(path, baudrate, timeout, serial::eightbits, serial::parity_none,
                                          serial::stopbits_one, serial::flowcontrol_none);
}

// Until the port has `count` bytes waiting.
bool waitForAvailable(serial::Serial& port, size_t count) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (port.available() != count) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

std::set<int> openDescriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    fds.insert(std::stoi(entry.path().filename().string()));
  }
  // The listing's own descriptor is closed by now.
  std::erase_if(fds, [](int fd) { return ::fcntl(fd, F_GETFD) == -1; });
  return fds;
}

long elapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

// The text of the exception `call` throws, which must be of type E.
template <typename E>
std::string thrownText(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace

TEST(PtyPort, ReadsTakeWhatIsBufferedAtOnceAndStopShortAtTheTimeout) {
  const struct {
    const char* name;
    std::string sent;
    serial::Timeout timeout;
    long at_least_ms;
  } cases[] = {
      {"all buffered", "12345678", readTimeout(0, 100), 0},
      {"no timeout takes the buffer", "123", readTimeout(0, 0), 0},
      {"short after the timeout", "12345", readTimeout(0, 150), 140},
      {"paced short after the timeout", "12345", readTimeout(kForever, 150), 140},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    pty_pair_t pty;
    auto port = openPort(pty.path(), c.timeout);
    pty.send_text(c.sent);
    ASSERT_TRUE(waitForAvailable(*port, c.sent.size()));
    const auto start = Clock::now();
    EXPECT_EQ(port->read(8), c.sent);
    EXPECT_GE(elapsedMs(start), c.at_least_ms);
    EXPECT_EQ(port->available(), 0u);
  }
}

TEST(PtyPort, PiecesArrivingWithinTheTimeoutMakeOneRead) {
  for (const uint32_t inter_byte : {0u, kForever}) {
    SCOPED_TRACE(inter_byte);
    pty_pair_t pty;
    auto port = openPort(pty.path(), readTimeout(inter_byte, 5000));
    std::thread device([&] {
      for (const std::string piece : {"\x01\x03\x02", "\x07\x2a", "\x79\x85\x11"}) {
        pty.send_text(piece);
        std::this_thread::sleep_for(milliseconds(30));
      }
    });
    const auto start = Clock::now();
    EXPECT_EQ(port->read(8), "\x01\x03\x02\x07\x2a\x79\x85\x11");
    device.join();
    EXPECT_LT(elapsedMs(start), 5000);
  }
}

TEST(PtyPort, WritesReachThePeerAndTimeOutOnAFullLine) {
  pty_pair_t pty;
  auto port = openPort(pty.path(), serial::Timeout{0, 0, 0, 200, 0});
  EXPECT_EQ(port->write(std::string("\x01\x06\x00\x01", 4)), 4u);
  EXPECT_EQ(pty.receive_text(4), std::string("\x01\x06\x00\x01", 4));
  EXPECT_EQ(port->write(std::vector<uint8_t>{}), 0u);

  // Nobody reads the master side: the line fills up and the write stops at its timeout.
  const std::vector<uint8_t> flood(4 * 1024 * 1024, 0x55);
  auto start = Clock::now();
  const size_t written = port->write(flood);
  EXPECT_GT(written, 0u);
  EXPECT_LT(written, flood.size());
  EXPECT_GE(elapsedMs(start), 190);

  // With no time at all the write gives up at once instead of waiting for weeks.
  port->setTimeout(serial::Timeout{0, 0, 0, 0, 0});
  start = Clock::now();
  EXPECT_EQ(port->write(flood), 0u);
  EXPECT_LT(elapsedMs(start), 5000);
}

TEST(PtyPort, APeerThatDisappearsIsReportedAsDisconnected) {
  pty_pair_t pty;
  auto port = openPort(pty.path(), readTimeout(0, 2000));
  pty.unplug();
  EXPECT_EQ(thrownText<serial::SerialException>([&] { port->read(1); }),
            "SerialException device reports readiness to read but returned no data (device disconnected?) failed.");
}

TEST(PtyPort, OpenRefusesMissingEmptyAndAlreadyOpenPorts) {
  EXPECT_EQ(thrownText<serial::IOException>([] { openPort("/dev/korvex-no-such-port", readTimeout(0, 0)); }),
            std::string("IO Exception (2): ") + std::strerror(2) + ", file serial/src/impl/unix/unix.cc, line 151.");

  auto unnamed = openPort("", readTimeout(0, 100));
  EXPECT_FALSE(unnamed->isOpen());
  EXPECT_EQ(thrownText<std::invalid_argument>([&] { unnamed->open(); }), "Empty port is invalid.");

  pty_pair_t pty;
  auto port = openPort(pty.path(), readTimeout(0, 100));
  EXPECT_EQ(thrownText<serial::SerialException>([&] { port->open(); }),
            "SerialException Serial port already open. failed.");
  EXPECT_TRUE(port->isOpen());
}

TEST(PtyPort, AFailedCustomRateLeavesNoDescriptorBehind) {
  pty_pair_t pty;
  const auto before = openDescriptors();
  // A pseudo-terminal has no serial-info interface, so every custom rate fails.
  for (int attempt = 0; attempt < 10; ++attempt) {
    try {
      openPort(pty.path(), readTimeout(0, 0), 250000);
      FAIL() << "a custom rate was set on a pseudo-terminal";
    } catch (const serial::IOException& e) {
      EXPECT_EQ(e.getErrorNumber(), ENOTTY);
      EXPECT_NE(std::string(e.what()).find(", line 434."), std::string::npos) << e.what();
    }
  }
  auto port = openPort("", readTimeout(0, 0), 250000);
  port->setPort(pty.path());
  for (int attempt = 0; attempt < 10; ++attempt) {
    EXPECT_THROW(port->open(), serial::IOException);
    EXPECT_FALSE(port->isOpen());
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(PtyPort, OpenRefusesADescriptorThatSelectCannotWatch) {
  pty_pair_t pty;
  const auto before = openDescriptors();
  // Fill every slot select can watch, so the port's descriptor lands above them.
  std::vector<int> fillers;
  for (int fd = 0; fd != -1 && fd < FD_SETSIZE - 1;) {
    fd = ::open("/dev/null", O_RDONLY);
    if (fd != -1) fillers.push_back(fd);
  }
  EXPECT_EQ(thrownText<serial::IOException>([&] { openPort(pty.path(), readTimeout(0, 0)); }),
            "IO Exception: Too many file handles open., file serial/src/impl/unix/unix.cc, line 149.");
  for (const int fd : fillers) ::close(fd);
  EXPECT_EQ(openDescriptors(), before);
  // A standard 38400 also looks for a remapping to clear; a pseudo-terminal has none.
  EXPECT_TRUE(openPort(pty.path(), readTimeout(0, 0), 38400)->isOpen());
}

TEST(PtyPort, CloseMarksThePortClosedEvenWhenTheSystemCloseFails) {
  pty_pair_t pty;
  const auto before = openDescriptors();
  auto port = openPort(pty.path(), readTimeout(0, 0));
  // Take the port's descriptor away behind the library's back.
  const auto after = openDescriptors();
  ASSERT_EQ(after.size(), before.size() + 1);
  int port_fd = -1;
  for (const int fd : after) {
    if (before.count(fd) == 0) port_fd = fd;
  }
  ::close(port_fd);

  try {
    port->close();
    FAIL() << "closing a descriptor that is gone succeeded";
  } catch (const serial::IOException& e) {
    EXPECT_EQ(e.getErrorNumber(), EBADF);
    EXPECT_NE(std::string(e.what()).find(", line 472."), std::string::npos) << e.what();
  }
  EXPECT_FALSE(port->isOpen());
  EXPECT_NO_THROW(port->close());
  EXPECT_THROW(port->read(1), serial::PortNotOpenedException);
}

TEST(PtyPort, ReadlineStopsAtTheEndOfLineOrTheFirstSilentByte) {
  pty_pair_t pty;
  auto port = openPort(pty.path(), readTimeout(0, 100));

  std::string line = "kept:";
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 0u);
  EXPECT_EQ(line, "kept:");

  pty.send_text("ab\r\ncd\r");
  ASSERT_TRUE(waitForAvailable(*port, 7));
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 4u);
  EXPECT_EQ(line, "kept:ab\r\n");
  // A lone '\r' is no end of line; the size limit ends the read instead.
  EXPECT_EQ(port->readline(2, "\r\n"), "cd");
  EXPECT_EQ(port->readline(64, "\r\n"), "\r");

  // An end of line longer than what was read is never compared past the start.
  pty.send_text("x");
  ASSERT_TRUE(waitForAvailable(*port, 1));
  EXPECT_EQ(port->readline(64, "\r\n\r\n"), "x");

  pty.send_text("one\ntwo\nthr");
  ASSERT_TRUE(waitForAvailable(*port, 11));
  EXPECT_EQ(port->readlines(64, "\n"), (std::vector<std::string>{"one\n", "two\n", "thr"}));
  pty.send_text("one\ntwo\n");
  ASSERT_TRUE(waitForAvailable(*port, 8));
  EXPECT_EQ(port->readlines(6, "\n"), (std::vector<std::string>{"one\n", "tw"}));
  EXPECT_EQ(port->read(8), "o\n");
}

TEST(PtyPort, OperationsThatCannotRunAreRefusedByName) {
  auto port = openPort("", readTimeout(0, 0));
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"read", [&] { port->read(1); }},
      {"write", [&] { port->write(std::string("x")); }},
      {"waitReadable", [&] { port->waitReadable(); }},
      {"flush", [&] { port->flush(); }},
      {"sendBreak", [&] { port->sendBreak(10); }},
      {"setRTS", [&] { port->setRTS(true); }},
      {"getCD", [&] { port->getCD(); }},
  };
  for (const auto& [name, call] : operations) {
    EXPECT_EQ(thrownText<serial::PortNotOpenedException>(call),
              std::string("PortNotOpenedException Serial::") + name + " failed.");
  }
  EXPECT_EQ(port->available(), 0u);

  // Open, but a pseudo-terminal has no modem lines to report: the system error is carried.
  pty_pair_t pty;
  auto open_port = openPort(pty.path(), readTimeout(0, 0));
  EXPECT_EQ(thrownText<serial::SerialException>([&] { open_port->getCTS(); }),
            std::string("SerialException getCTS failed on a call to ioctl(TIOCMGET): ") + std::to_string(ENOTTY) + " " +
                std::strerror(ENOTTY) + " failed.");
}
