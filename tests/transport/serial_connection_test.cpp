#include <gtest/gtest.h>

#include <filesystem>
#include <optional>

#include "support/log_capture.hpp"
#include "support/pty_pair.hpp"
#include "support/temp_dir.hpp"
#include "transport/connection_fixture.hpp"
#include "transport/serial_connection.hpp"

using korvex_test::bytes_t;
using korvex_test::read_bytes;

namespace {

std::shared_ptr<serial_connection_t> serial_on(const std::string& path) {
  return korvex_test::connection_from<serial_connection_t>({.type = "base.rs", .rto = 100, .rs_port = path});
}

}  // namespace

TEST(serial_connection, exchanges_bytes_returns_short_counts_and_flushes_a_late_reply) {
  korvex_test::pty_pair_t device;
  const auto connection = serial_on(device.path());
  EXPECT_EQ(connection->name, device.path() + ":9600:8:0:1:0");
  // The terminal hands on what the device sent a moment later: a read with
  // a short timeout waits until it is there.
  const auto arrived = [&](std::size_t count) {
    return korvex_test::wait_until([&] { return connection->serial->available() == count; });
  };
  const bytes_t request{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87};
  ASSERT_EQ(connection->write(request.data(), request.size()), 8);
  EXPECT_EQ(device.receive(8), request);
  device.send({0x11, 0x03, 0x06, 0x02, 0x2B});
  ASSERT_TRUE(arrived(5));
  EXPECT_EQ(read_bytes(*connection, 8), (bytes_t{0x11, 0x03, 0x06, 0x02, 0x2B}));
  EXPECT_EQ(read_bytes(*connection, 1), bytes_t{}) << "silence is a count of 0, not an error";
  device.send({0xDE, 0xAD});
  ASSERT_TRUE(arrived(2));
  connection->flush();
  device.send({1, 2, 3});
  ASSERT_TRUE(arrived(3));
  EXPECT_EQ(read_bytes(*connection, 3), (bytes_t{1, 2, 3}));
  // The poll cycle closes the port between passes; the flush that begins the
  // next request opens it again instead of failing the request.
  connection->close();
  connection->flush();
  EXPECT_TRUE(connection->is_open());
  connection->close();
  ASSERT_EQ(connection->write(request.data(), 2), 2);
  EXPECT_EQ(device.receive(2), bytes_t(request.begin(), request.begin() + 2));
}

TEST(serial_connection, ports_that_cannot_be_opened) {
  for (const auto& [path, available] : {std::pair{std::string("/dev/korvex-missing"), false}, {std::string(), true}}) {
    const auto connection = serial_on(path);
    EXPECT_EQ(connection->available, available) << path;
    uint8_t byte = 0;
    EXPECT_FALSE(connection->is_open() || connection->open()) << path;
    EXPECT_EQ(connection->read(&byte, 1), -1) << path;
    EXPECT_EQ(connection->write(&byte, 1), -1) << path;
    EXPECT_NO_THROW(connection->flush()) << path;
  }
}

// A frame ends after the line has been silent for four character times;
// only fast lines, where that is shorter than a USB adapter's bursts, keep
// the network default of 2 ms.
TEST(serial_connection, silence_guard_is_four_character_times) {
  const auto connection = serial_on("");
  const struct {
    uint32_t baud_rate;
    int32_t data_bits, parity, stop_bits;  // stop bits code 3: one and a half
    long microseconds;
  } rows[] = {
      {1200, 8, 0, 1, 33334}, {1200, 8, 2, 2, 40000}, {1200, 7, 1, 3, 35000}, {2400, 8, 0, 1, 16667},
      {9600, 8, 0, 1, 4167},  {19200, 8, 0, 1, 2084}, {38400, 8, 0, 1, 2000},  {115200, 8, 0, 1, 2000},
  };
  for (const auto& row : rows) {
    connection->baudrate = row.baud_rate;
    connection->bytesize = row.data_bits;
    connection->parity = row.parity;
    connection->stopbits = row.stop_bits;
    EXPECT_EQ(connection->silence_guard().count(), row.microseconds)
        << row.baud_rate << " " << row.data_bits << row.parity << row.stop_bits;
  }
}

// The configured path is a link, as a udev rule makes for an adapter; the
// replugged adapter comes back behind the same path. While it is away, each
// pass logs its failed opens once.
TEST(serial_connection, an_unplugged_and_replugged_adapter_is_used_again) {
  korvex_test::temp_dir_t folder;
  const auto link = folder.path() / "ttyModbus";
  std::optional<korvex_test::pty_pair_t> device(std::in_place);
  std::filesystem::create_symlink(device->path(), link);
  const auto connection = serial_on(link.string());
  ASSERT_TRUE(connection->is_open());
  device->unplug();
  uint8_t byte = 0x42;
  // A hung-up line fails the read (or the write); either way the port goes.
  long result = connection->read(&byte, 1);
  if (result != -1) result = connection->write(&byte, 1);
  EXPECT_EQ(result, -1);
  EXPECT_FALSE(connection->is_open());
  // The adapter's device node goes, and the link with it. Only the link
  // stays gone: a parallel test may get a terminal of the same number.
  device.reset();
  std::filesystem::remove(link);
  {
    korvex_test::log_capture_t log;
    spdlog::default_logger()->set_level(spdlog::level::info);
    for (int pass = 0; pass < 2; ++pass) {
      connection->begin_pass();
      for (int open = 0; open < 3; ++open) EXPECT_FALSE(connection->open());
    }
    EXPECT_EQ(log.lines().size(), 2u) << testing::PrintToString(log.lines());
  }
  device.emplace();
  std::filesystem::create_symlink(device->path(), link);
  ASSERT_EQ(connection->write(&byte, 1), 1);
  EXPECT_EQ(device->receive(1), bytes_t{0x42});
  device->send({7, 7});
  ASSERT_TRUE(korvex_test::wait_until([&] { return connection->serial->available() == 2; }));
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{7, 7}));
}
