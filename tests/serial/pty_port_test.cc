// Timed reads and writes, open errors, line reads and a reader beside a
// writer, on a pseudo-terminal.

#include <fcntl.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <set>
#include <thread>

#include "serial/serial.h"
#include "support/pty_pair.hpp"

namespace {

using korvex_test::pty_pair_t;
using namespace std::chrono_literals;
constexpr uint32_t forever = 4294967295u;

std::unique_ptr<serial::Serial> open_port(const std::string& path, serial::Timeout timeout, uint32_t baudrate = 9600) {
  return std::make_unique<serial::Serial>(path, baudrate, timeout, serial::eightbits, serial::parity_none,
                                          serial::stopbits_one, serial::flowcontrol_none);
}

std::set<int> open_descriptors() {
  std::set<int> fds;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) fds.insert(std::stoi(entry.path().filename()));
  std::erase_if(fds, [](int fd) { return ::fcntl(fd, F_GETFD) == -1; });  // the listing's own, closed by now
  return fds;
}

// The text of the exception of type E that the call throws.
template <typename E>
std::string thrown_text(const std::function<void()>& call) {
  try {
    call();
  } catch (const E& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

auto elapsed_since(std::chrono::steady_clock::time_point start) { return std::chrono::steady_clock::now() - start; }

}  // namespace

// What is buffered is taken at once; what is missing is waited for until the
// timeout, also when it comes in pieces; a peer that hangs up is reported.
TEST(PtyPort, ReadsTakeWhatCameAndWaitForTheRestUntilTheTimeout) {
  const struct {
    std::vector<std::string> pieces;  // the first is buffered before the read, each other one 30 ms after the last
    uint32_t inter_byte, constant;
    std::chrono::milliseconds at_least;
  } cases[] = {
      {{"12345678"}, 0, 100, 0ms},
      {{"123"}, 0, 0, 0ms},
      {{"12345"}, 0, 150, 140ms},
      {{"12345"}, forever, 150, 140ms},
      {{"\x01\x03\x02", "\x07\x2a", "\x79\x85\x11"}, 0, 5000, 50ms},
      {{"\x01\x03\x02", "\x07\x2a", "\x79\x85\x11"}, forever, 5000, 50ms},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.pieces[0] << " " << c.inter_byte << " " << c.constant);
    pty_pair_t pty;
    auto port = open_port(pty.path(), serial::Timeout{c.inter_byte, c.constant, 0, 0, 0});
    pty.send_text(c.pieces[0]);
    ASSERT_TRUE(korvex_test::wait_until([&] { return port->available() == c.pieces[0].size(); }));
    // Timed from before the device starts: a test thread held up after it
    // would find pieces sent already and time too short a wait.
    const auto start = std::chrono::steady_clock::now();
    std::thread device([&] {
      for (size_t at = 1; at < c.pieces.size(); ++at) {
        // Paces the device only: a late piece still falls well within the
        // 5 s the read waits, and a sleep never ends early, so the least
        // wait checked below holds however busy the machine is.
        std::this_thread::sleep_for(30ms);
        pty.send_text(c.pieces[at]);
      }
    });
    std::string expected;
    for (const auto& piece : c.pieces) expected += piece;
    EXPECT_EQ(port->read(8), expected);
    device.join();
    EXPECT_GE(elapsed_since(start), c.at_least);
    EXPECT_LT(elapsed_since(start), 4s);
  }
  pty_pair_t pty;
  auto port = open_port(pty.path(), serial::Timeout{0, 2000, 0, 0, 0});
  pty.unplug();
  EXPECT_EQ(thrown_text<serial::SerialException>([&] { port->read(1); }),
            "SerialException device reports readiness to read but returned no data (device disconnected?) failed.");
}

// Nobody reads the master side: the line fills up and the write stops at its
// timeout, or at once with no time at all instead of waiting for weeks.
TEST(PtyPort, WritesReachThePeerAndTimeOutOnAFullLine) {
  pty_pair_t pty;
  auto port = open_port(pty.path(), serial::Timeout{0, 0, 0, 200, 0});
  EXPECT_EQ(port->write(std::string("\x01\x06\x00\x01", 4)), 4u);
  EXPECT_EQ(pty.receive_text(4), std::string("\x01\x06\x00\x01", 4));
  const std::vector<uint8_t> flood(4 * 1024 * 1024, 0x55);
  auto start = std::chrono::steady_clock::now();
  const size_t written = port->write(flood);
  EXPECT_TRUE(written > 0 && written < flood.size()) << written;
  EXPECT_GE(elapsed_since(start), 190ms);
  port->setTimeout(serial::Timeout{0, 0, 0, 0, 0});
  start = std::chrono::steady_clock::now();
  EXPECT_EQ(port->write(flood), 0u);
  EXPECT_LT(elapsed_since(start), 5s);
}

// Refusals by name and line; a custom rate (which a pseudo-terminal never
// takes) or a descriptor that select cannot watch leaves no descriptor behind.
TEST(PtyPort, PortsThatCannotOpenLeaveNoDescriptorBehind) {
  EXPECT_EQ(thrown_text<serial::IOException>([] { open_port("/dev/korvex-no-such-port", {}); }),
            std::string("IO Exception (2): ") + std::strerror(2) + ", file serial/src/impl/unix/unix.cc, line 151.");
  auto unnamed = open_port("", {0, 100, 0, 0, 0}, 250000);
  EXPECT_FALSE(unnamed->isOpen());
  EXPECT_EQ(thrown_text<std::invalid_argument>([&] { unnamed->open(); }), "Empty port is invalid.");
  pty_pair_t pty;
  const auto before = open_descriptors();
  for (int attempt = 0; attempt < 5; ++attempt) {
    EXPECT_NE(thrown_text<serial::IOException>([&] { open_port(pty.path(), {}, 250000); }).find(", line 434."),
              std::string::npos);
    unnamed->setPort(pty.path());
    EXPECT_THROW(unnamed->open(), serial::IOException);
    EXPECT_FALSE(unnamed->isOpen());
  }
  std::vector<int> fillers;  // every slot select can watch, so the port's descriptor lands above them
  for (int fd = 0; fd != -1 && fd < FD_SETSIZE - 1; fillers.push_back(fd)) fd = ::open("/dev/null", O_RDONLY);
  EXPECT_EQ(thrown_text<serial::IOException>([&] { open_port(pty.path(), {}); }),
            "IO Exception: Too many file handles open., file serial/src/impl/unix/unix.cc, line 149.");
  for (const int fd : fillers) ::close(fd);
  EXPECT_EQ(open_descriptors(), before);
  auto port = open_port(pty.path(), {}, 38400);  // a standard 38400 looks for a remapping to clear, and finds none
  EXPECT_EQ(thrown_text<serial::SerialException>([&] { port->open(); }), "SerialException Serial port already open. failed.");
}

// Closing a descriptor that is gone fails, and the port is closed all the
// same; what a closed port cannot do is refused by name.
TEST(PtyPort, CloseMarksThePortClosedAndOperationsOnItAreRefused) {
  pty_pair_t pty;
  const auto before = open_descriptors();
  auto port = open_port(pty.path(), {});
  std::set<int> added = open_descriptors();
  for (const int fd : before) added.erase(fd);
  ASSERT_EQ(added.size(), 1u);
  ::close(*added.begin());  // behind the library's back
  EXPECT_NE(thrown_text<serial::IOException>([&] { port->close(); }).find(", line 472."), std::string::npos);
  EXPECT_FALSE(port->isOpen());
  EXPECT_NO_THROW(port->close());
  const std::pair<const char*, std::function<void()>> operations[] = {
      {"read", [&] { port->read(1); }}, {"waitReadable", [&] { port->waitReadable(); }}, {"getCD", [&] { port->getCD(); }}};
  for (const auto& [name, call] : operations) {
    EXPECT_EQ(thrown_text<serial::PortNotOpenedException>(call), "PortNotOpenedException Serial::" + std::string(name) + " failed.");
  }
  EXPECT_EQ(port->available(), 0u);
}

// The end of line is compared only once enough bytes are in, and a line cut
// by the size limit keeps its piece.
TEST(PtyPort, ReadlineStopsAtTheEndOfLineOrTheFirstSilentByte) {
  pty_pair_t pty;
  auto port = open_port(pty.path(), serial::Timeout{0, 100, 0, 0, 0});
  std::string line = "kept:";
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 0u);
  const auto arrived = [&](const std::string& text) {
    pty.send_text(text);
    return korvex_test::wait_until([&] { return port->available() == text.size(); });
  };
  ASSERT_TRUE(arrived("ab\r\ncd\r"));
  EXPECT_EQ(port->readline(line, 64, "\r\n"), 4u);
  EXPECT_EQ(line, "kept:ab\r\n");
  EXPECT_EQ(port->readline(2, "\r\n"), "cd");  // a lone '\r' is no end of line
  EXPECT_EQ(port->readline(64, "\r\n"), "\r");
  ASSERT_TRUE(arrived("x"));
  EXPECT_EQ(port->readline(64, "\r\n\r\n"), "x");
  ASSERT_TRUE(arrived("one\ntwo\nthr"));
  EXPECT_EQ(port->readlines(64, "\n"), (std::vector<std::string>{"one\n", "two\n", "thr"}));
  ASSERT_TRUE(arrived("one\ntwo\n"));
  EXPECT_EQ(port->readlines(6, "\n"), (std::vector<std::string>{"one\n", "tw"}));
  EXPECT_EQ(port->read(8), "o\n");
}

// A read that waits for the reply must not keep the request from going out;
// two writers share the write lock, each request arriving whole.
TEST(PtyConcurrency, AWaitingReadDoesNotHoldBackAWrite) {
  pty_pair_t pty;
  auto port = open_port(pty.path(), serial::Timeout{0, 10000, 0, 1000, 0}, 115200);
  std::string reply;
  std::thread reader([&] { reply = port->read(4); });
  std::thread second_writer([&] { port->write(std::string("PING")); });
  port->write(std::string("ping"));
  second_writer.join();
  const std::string requests = pty.receive_text(8);
  EXPECT_TRUE(requests == "pingPING" || requests == "PINGping") << requests;
  pty.send_text("pong");
  reader.join();
  EXPECT_EQ(reply, "pong");
}
