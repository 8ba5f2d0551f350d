#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <thread>

#include "support/pty_pair.hpp"
#include "transport/connection_fixture.hpp"
#include "transport/serial_connection.hpp"

using namespace std::chrono_literals;
using korvex_test::bytes_t;
using korvex_test::read_bytes;

namespace {

std::unique_ptr<serial_connection_t> serial_on(const std::string& path) {
  return korvex_test::connection_from<serial_connection_t>({.type = "base.rs", .rto = 100, .rs_port = path});
}

}  // namespace

TEST(serial_connection, exchanges_bytes_returns_short_counts_and_flushes_a_late_reply) {
  korvex_test::pty_pair_t device;
  const auto connection = serial_on(device.path());
  EXPECT_EQ(connection->timeout.read_timeout_constant, 100u);

  const bytes_t request{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87};
  ASSERT_EQ(connection->write(request.data(), request.size()), 8);
  EXPECT_EQ(device.receive(8), request);

  device.send({0x11, 0x03, 0x06, 0x02, 0x2B});
  EXPECT_EQ(read_bytes(*connection, 8), (bytes_t{0x11, 0x03, 0x06, 0x02, 0x2B}));
  EXPECT_EQ(read_bytes(*connection, 1), bytes_t{}) << "silence is a count of 0, not an error";
  EXPECT_TRUE(connection->is_open());

  device.send({0xDE, 0xAD});
  const auto deadline = std::chrono::steady_clock::now() + korvex_test::generous_deadline;
  while (connection->serial->available() == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "device bytes never arrived";
    std::this_thread::sleep_for(1ms);
  }
  connection->flush();
  device.send({1, 2, 3});
  EXPECT_EQ(read_bytes(*connection, 3), (bytes_t{1, 2, 3}));
}

TEST(serial_connection, ports_that_cannot_be_opened) {
  korvex_test::temp_dir_t folder;
  const struct {
    const char* what;
    std::string path;
    bool available;
  } cases[] = {
      {"missing device", (folder.path() / "ttyMissing").string(), false},
      {"empty path", "", true},
  };
  for (const auto& c : cases) {
    const auto connection = serial_on(c.path);
    EXPECT_EQ(connection->available, c.available) << c.what;
    EXPECT_FALSE(connection->is_open()) << c.what;
    EXPECT_FALSE(connection->open()) << c.what;
    uint8_t byte = 0;
    EXPECT_EQ(connection->read(&byte, 1), -1) << c.what;
    EXPECT_EQ(connection->write(&byte, 1), -1) << c.what;
    EXPECT_NO_THROW(connection->flush()) << c.what;
  }
}

TEST(serial_connection, a_closed_port_reopens_on_the_next_use) {
  korvex_test::pty_pair_t device;
  const auto connection = serial_on(device.path());
  connection->close();
  EXPECT_FALSE(connection->is_open());

  // The poll cycle closes the port between cycles; the next request begins
  // with a flush, which must not fail the request.
  EXPECT_NO_THROW(connection->flush());
  EXPECT_TRUE(connection->is_open());

  connection->close();
  const bytes_t request{1, 2};
  ASSERT_EQ(connection->write(request.data(), request.size()), 2);
  EXPECT_EQ(device.receive(2), request);
}

TEST(serial_connection, an_unplugged_and_replugged_adapter_is_used_again) {
  // The configured path is a link, as a udev rule makes for an adapter; the
  // replugged adapter comes back behind the same path.
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

  device.reset();
  device.emplace();
  std::filesystem::remove(link);
  std::filesystem::create_symlink(device->path(), link);

  ASSERT_EQ(connection->write(&byte, 1), 1);
  EXPECT_EQ(device->receive(1), bytes_t{0x42});
  device->send({7, 7});
  EXPECT_EQ(read_bytes(*connection, 2), (bytes_t{7, 7}));
}
