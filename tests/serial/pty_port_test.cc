// Timed reads, writes, open errors and line reads against a pseudo-terminal.

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "pty_pair.h"
#include "serial/serial.h"

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kForever = 4294967295u;

serial::Timeout readTimeout(uint32_t inter_byte, uint32_t constant) {
  return serial::Timeout{inter_byte, constant, 0, 0, 0};
}

std::unique_ptr<serial::Serial> openPort(const std::string& path, serial::Timeout timeout,
                                         uint32_t baudrate = 9600) {
  return std::make_unique<serial::Serial>(path, baudrate, timeout, serial::eightbits,
                                          serial::parity_none, serial::stopbits_one,
                                          serial::flowcontrol_none);
}

bool waitFor(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(milliseconds(1));
  }
  return true;
}

size_t openDescriptors() {
  size_t count = 0;
  for (auto it = std::filesystem::directory_iterator("/proc/self/fd");
       it != std::filesystem::directory_iterator(); ++it) {
    ++count;
  }
  return count;
}

std::string asText(const std::vector<uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

long elapsedMs(Clock::time_point since) {
  return std::chrono::duration_cast<milliseconds>(Clock::now() - since).count();
}

}  // namespace

TEST(PtyPort, ReadsTakeWhatIsBufferedAtOnceAndStopShortAtTheTimeout) {
  const struct {
    const char* name;
    std::string sent;
    serial::Timeout timeout;
    size_t asked;
    long at_least_ms;
  } cases[] = {
      {"all buffered", "12345678", readTimeout(0, 100), 8, 0},
      {"no timeout takes the buffer", "123", readTimeout(0, 0), 8, 0},
      {"short after the timeout", "12345", readTimeout(0, 150), 8, 140},
      {"paced short after the timeout", "12345", readTimeout(kForever, 150), 8, 140},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair pty;
    auto port = openPort(pty.path(), c.timeout);
    pty.send(c.sent);
    ASSERT_TRUE(waitFor([&] { return port->available() == c.sent.size(); }));

    std::vector<uint8_t> buffer;
    const auto start = Clock::now();
    EXPECT_EQ(port->read(buffer, c.asked), c.sent.size());
    EXPECT_EQ(asText(buffer), c.sent);
    EXPECT_GE(elapsedMs(start), c.at_least_ms);
    EXPECT_EQ(port->available(), 0u);
  }
}

TEST(PtyPort, PiecesArrivingWithinTheTimeoutMakeOneRead) {
  for (const uint32_t inter_byte : {0u, 50u, kForever}) {
    SCOPED_TRACE(inter_byte);
    PtyPair pty;
    auto port = openPort(pty.path(), readTimeout(inter_byte, 5000));
    std::thread device([&] {
      pty.send("\x01\x03\x02");
      std::this_thread::sleep_for(milliseconds(30));
      pty.send(std::string("\x00\x2a", 2));
      std::this_thread::sleep_for(milliseconds(30));
      pty.send(std::string("\x79\x85\x00", 3));
    });
    uint8_t buffer[8] = {};
    const auto start = Clock::now();
    const size_t count = port->read(buffer, sizeof buffer);
    device.join();
    EXPECT_EQ(count, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), count), std::string("\x01\x03\x02\x00\x2a\x79\x85\x00", 8));
    EXPECT_LT(elapsedMs(start), 5000);
  }
}

TEST(PtyPort, WritesReachThePeerAndTimeOutOnAFullLine) {
  PtyPair pty;
  auto port = openPort(pty.path(), serial::Timeout{0, 0, 0, 200, 0});
  EXPECT_EQ(port->write(std::string("\x01\x06\x00\x01", 4)), 4u);
  EXPECT_EQ(pty.receive(4), std::string("\x01\x06\x00\x01", 4));
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
  PtyPair pty;
  auto port = openPort(pty.path(), readTimeout(0, 2000));
  pty.closeMaster();
  uint8_t byte = 0;
  try {
    port->read(&byte, 1);
    FAIL() << "read from a vanished peer returned";
  } catch (const serial::SerialException& e) {
    EXPECT_STREQ(e.what(),
                 "SerialException device reports readiness to read but returned no data (device "
                 "disconnected?) failed.");
  }
}

TEST(PtyPort, OpenRefusesMissingEmptyAndAlreadyOpenPorts) {
  try {
    openPort("/dev/korvex-no-such-port", readTimeout(0, 0));
    FAIL() << "a missing port opened";
  } catch (const serial::IOException& e) {
    EXPECT_EQ(std::string(e.what()), std::string("IO Exception (2): ") + std::strerror(2) +
                                         ", file serial/src/impl/unix/unix.cc, line 151.");
  }

  auto unnamed = openPort("", readTimeout(0, 100));
  EXPECT_FALSE(unnamed->isOpen());
  try {
    unnamed->open();
    FAIL() << "an empty port opened";
  } catch (const std::invalid_argument& e) {
    EXPECT_STREQ(e.what(), "Empty port is invalid.");
  }

  PtyPair pty;
  auto port = openPort(pty.path(), readTimeout(0, 100));
  EXPECT_TRUE(port->isOpen());
  try {
    port->open();
    FAIL() << "an open port opened again";
  } catch (const serial::SerialException& e) {
    EXPECT_STREQ(e.what(), "SerialException Serial port already open. failed.");
  }
  EXPECT_TRUE(port->isOpen());
}

TEST(PtyPort, AFailedCustomRateLeavesNoDescriptorBehind) {
  PtyPair pty;
  const size_t before = openDescriptors();
  // A pseudo-terminal has no serial-info interface, so every custom rate fails.
  for (int attempt = 0; attempt < 20; ++attempt) {
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
  for (int attempt = 0; attempt < 20; ++attempt) {
    EXPECT_THROW(port->open(), serial::IOException);
    EXPECT_FALSE(port->isOpen());
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(PtyPort, OpenRefusesADescriptorThatSelectCannotWatch) {
  PtyPair pty;
  const size_t before = openDescriptors();
  // Fill every slot select can watch, so the port's descriptor lands above them.
  std::vector<int> fillers;
  for (;;) {
    const int fd = ::open("/dev/null", O_RDONLY);
    if (fd == -1) break;
    fillers.push_back(fd);
    if (fd >= FD_SETSIZE - 1) break;
  }
  try {
    openPort(pty.path(), readTimeout(0, 0));
    ADD_FAILURE() << "a port opened past the select set";
  } catch (const serial::IOException& e) {
    EXPECT_STREQ(e.what(), "IO Exception: Too many file handles open., file serial/src/impl/unix/unix.cc, line 149.");
  }
  for (const int fd : fillers) ::close(fd);
  EXPECT_EQ(openDescriptors(), before);
  // A standard 38400 also looks for a remapping to clear; a pseudo-terminal has none.
  EXPECT_TRUE(openPort(pty.path(), readTimeout(0, 0), 38400)->isOpen());
}

TEST(PtyPort, CloseMarksThePortClosedEvenWhenTheSystemCloseFails) {
  PtyPair pty;
  const size_t before = openDescriptors();
  auto port = openPort(pty.path(), readTimeout(0, 0));
  ASSERT_EQ(openDescriptors(), before + 1);

  // Find the port's descriptor and take it away behind the library's back.
  int port_fd = -1;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    const int fd = std::stoi(entry.path().filename().string());
    if (fd > 2 && fd != pty.master() && std::filesystem::exists(entry.path()) &&
        std::filesystem::read_symlink(entry.path()) == pty.path() && ttyname(fd) &&
        fcntl(fd, F_GETFL) & O_NONBLOCK) {
      port_fd = fd;
    }
  }
  ASSERT_NE(port_fd, -1);
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
  uint8_t byte = 0;
  EXPECT_THROW(port->read(&byte, 1), serial::PortNotOpenedException);
}

TEST(PtyPort, ReadlineStopsAtTheEndOfLineOrTheFirstSilentByte) {
  PtyPair pty;
  auto port = openPort(pty.path(), readTimeout(0, 100));

  std::string line = "kept:";
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 0u);
  EXPECT_EQ(line, "kept:");

  pty.send("ab\r\ncd\r");
  ASSERT_TRUE(waitFor([&] { return port->available() == 7; }));
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 4u);
  EXPECT_EQ(line, "kept:ab\r\n");
  EXPECT_EQ(port->available(), 3u);
  // A lone '\r' is no end of line; the size limit ends the read instead.
  EXPECT_EQ(port->readline(2, "\r\n"), "cd");
  EXPECT_EQ(port->readline(64, "\r\n"), "\r");

  // An end of line longer than what was read is never compared past the start.
  pty.send("x");
  ASSERT_TRUE(waitFor([&] { return port->available() == 1; }));
  EXPECT_EQ(port->readline(64, "\r\n\r\n"), "x");

  pty.send("one\ntwo\nthr");
  ASSERT_TRUE(waitFor([&] { return port->available() == 11; }));
  EXPECT_EQ(port->readlines(64, "\n"), (std::vector<std::string>{"one\n", "two\n", "thr"}));
  pty.send("one\ntwo\n");
  ASSERT_TRUE(waitFor([&] { return port->available() == 8; }));
  EXPECT_EQ(port->readlines(6, "\n"), (std::vector<std::string>{"one\n", "tw"}));
  EXPECT_EQ(port->read(8), "o\n");
}

TEST(PtyPort, ClosedPortsRefuseEveryOperationByName) {
  auto port = openPort("", readTimeout(0, 0));
  const struct {
    const char* name;
    std::function<void()> call;
  } operations[] = {
      {"Serial::read", [&] { port->read(1); }},
      {"Serial::write", [&] { port->write(std::string("x")); }},
      {"Serial::waitReadable", [&] { port->waitReadable(); }},
      {"Serial::flush", [&] { port->flush(); }},
      {"Serial::flushInput", [&] { port->flushInput(); }},
      {"Serial::flushOutput", [&] { port->flushOutput(); }},
      {"Serial::sendBreak", [&] { port->sendBreak(10); }},
      {"Serial::setBreak", [&] { port->setBreak(true); }},
      {"Serial::setRTS", [&] { port->setRTS(true); }},
      {"Serial::setDTR", [&] { port->setDTR(false); }},
      {"Serial::getCTS", [&] { port->getCTS(); }},
      {"Serial::getDSR", [&] { port->getDSR(); }},
      {"Serial::getRI", [&] { port->getRI(); }},
      {"Serial::getCD", [&] { port->getCD(); }},
  };
  for (const auto& operation : operations) {
    try {
      operation.call();
      ADD_FAILURE() << operation.name << " ran on a closed port";
    } catch (const serial::PortNotOpenedException& e) {
      EXPECT_EQ(std::string(e.what()), std::string("PortNotOpenedException ") + operation.name + " failed.");
    }
  }
  EXPECT_EQ(port->available(), 0u);
}

TEST(PtyPort, ModemLineFailuresCarryTheSystemError) {
  PtyPair pty;
  auto port = openPort(pty.path(), readTimeout(0, 0));
  // A pseudo-terminal has no modem lines to report.
  try {
    port->getCTS();
    FAIL() << "a pseudo-terminal reported its CTS line";
  } catch (const serial::SerialException& e) {
    const std::string expected = std::string("SerialException getCTS failed on a call to ioctl(TIOCMGET): ") +
                                 std::to_string(ENOTTY) + " " + std::strerror(ENOTTY) + " failed.";
    EXPECT_EQ(e.what(), expected);
  }
}
