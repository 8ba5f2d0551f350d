// The computations behind opening a port, which a pseudo-terminal cannot
// show: framing flags, the custom divisor, the byte time and the deadlines.

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

#include "serial/impl/port_settings.h"
#include "serial/impl/time_budget.h"
#include "serial/serial.h"

using serial::impl::FlowFlags;
using serial::impl::LineSettings;

namespace {

LineSettings line(uint32_t baudrate, int bits = 8, int parity = 0, int stop = 1, int flow = 0) {
  return {baudrate, serial::bytesize_t(bits), serial::parity_t(parity), serial::stopbits_t(stop), serial::flowcontrol_t(flow)};
}

// Every flag byte set to fill, at 9600 baud: what a former user left behind.
termios previous_options(unsigned char fill) {
  termios options;
  std::memset(&options, fill, sizeof options);
  cfsetspeed(&options, B9600);
  return options;
}

}  // namespace

// Raw mode whatever the framing and whatever the device had before; flow
// control 3 is outside the enumeration and keeps what was in effect.
TEST(PortSettings, EveryFramingComposesItsFlags) {
  const tcflag_t size_flags[] = {CS5, CS6, CS7, CS8};
  // For none, odd, even, mark and space.
  const tcflag_t parity_flags[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
  for (const unsigned char fill : {0xff, 0x00}) {
    for (int bits = 5; bits <= 8; ++bits) {
      for (int parity = 0; parity < 5; ++parity) {
        for (const int stop : {serial::stopbits_one, serial::stopbits_two, serial::stopbits_one_point_five}) {
          for (int flowcontrol = 0; flowcontrol <= 3; ++flowcontrol) {
            SCOPED_TRACE(testing::Message() << bits << parity << stop << flowcontrol << " fill " << int(fill));
            termios options = previous_options(fill);
            const FlowFlags previous{fill == 0, fill != 0};
            FlowFlags flow = previous;
            EXPECT_FALSE(serial::impl::composeTermios(options, line(9600, bits, parity, stop, flowcontrol), flow));
            const bool software = flowcontrol == 3 ? previous.xonxoff : flowcontrol == serial::flowcontrol_software;
            const bool hardware = flowcontrol == 3 ? previous.rtscts : flowcontrol == serial::flowcontrol_hardware;
            EXPECT_EQ(cfgetospeed(&options), B9600);
            EXPECT_EQ(cfgetispeed(&options), B9600);
            EXPECT_EQ(options.c_cflag & (CSIZE | CSTOPB | PARENB | PARODD | CMSPAR | CRTSCTS | CLOCAL | CREAD),
                      size_flags[bits - 5] | (stop != serial::stopbits_one ? CSTOPB : 0) | parity_flags[parity] |
                          (hardware ? CRTSCTS : 0) | CLOCAL | CREAD);
            EXPECT_EQ(std::pair(flow.xonxoff, flow.rtscts), std::pair(software, hardware));
            const tcflag_t input_off = INPCK | ISTRIP | INLCR | IGNCR | ICRNL | IGNBRK | IUCLC | PARMRK;
            EXPECT_EQ(options.c_iflag & (input_off | IXON | IXOFF | (software ? 0 : IXANY)), software ? IXON | IXOFF : 0u);
            EXPECT_EQ(options.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
            EXPECT_EQ((options.c_oflag & OPOST) + options.c_cc[VMIN] + options.c_cc[VTIME], 0u);
          }
        }
      }
    }
  }
  // Out of range: data bits, stop bits and parity are checked in that order.
  const std::pair<LineSettings, std::string> refused[] = {{line(9600, 9, 7, 0), "invalid char len"},
                                                          {line(9600, 4, 0, 1), "invalid char len"},
                                                          {line(9600, 8, 7, 0), "invalid stop bit"},
                                                          {line(9600, 8, 5, 1), "invalid parity"}};
  for (const auto& [settings, text] : refused) {
    termios options = previous_options(0);
    FlowFlags flow;
    try {
      serial::impl::composeTermios(options, settings, flow);
      ADD_FAILURE() << "accepted " << text;
    } catch (const std::invalid_argument& e) {
      EXPECT_EQ(e.what(), text);
    }
  }
}

// A custom rate sets B38400, which the driver replaces by the divisor:
// base over rate, truncated, and never 0. A standard rate drops a divisor or
// remapping a former user left behind.
TEST(PortSettings, StandardRatesAndTheCustomDivisor) {
  const std::tuple<uint32_t, speed_t, bool> rates[] = {{0, B0, false},          {9600, B9600, false},
                                                       {4000000, B4000000, false}, {250000, B38400, true},
                                                       {14400, B38400, true},   {5000000, B38400, true}};
  for (const auto& [baudrate, constant, custom] : rates) {
    termios options = previous_options(0);
    FlowFlags flow;
    EXPECT_EQ(serial::impl::composeTermios(options, line(baudrate), flow), custom) << baudrate;
    EXPECT_EQ(std::pair(cfgetospeed(&options), cfgetispeed(&options)), std::pair(constant, constant)) << baudrate;
  }
  serial_struct info{};
  info.baud_base = 1500000;
  info.flags = ASYNC_SPD_VHI | ASYNC_LOW_LATENCY;
  serial::impl::applyCustomDivisor(info, 250000);
  EXPECT_EQ(info.custom_divisor, 6);
  EXPECT_EQ(info.flags, ASYNC_SPD_CUST | ASYNC_LOW_LATENCY);
  serial::impl::applyCustomDivisor(info, 14400);
  EXPECT_EQ(info.custom_divisor, 104);
  EXPECT_TRUE(serial::impl::clearSpeedRemapping(info));
  EXPECT_EQ(info.flags, ASYNC_LOW_LATENCY);
  EXPECT_FALSE(serial::impl::clearSpeedRemapping(info));
  info.flags = ASYNC_SPD_WARP;
  EXPECT_TRUE(serial::impl::clearSpeedRemapping(info));
  EXPECT_EQ(info.flags, 0);
  for (const uint32_t unreachable : {250000u, 0u}) {
    serial_struct slow{};
    slow.baud_base = 115200;
    slow.custom_divisor = 3;
    EXPECT_THROW(serial::impl::applyCustomDivisor(slow, unreachable), std::invalid_argument);
    EXPECT_EQ(std::pair(slow.custom_divisor, slow.flags), std::pair(3, 0));
  }
}

// Start, data, parity and stop bits; no rate, no time (never a division by
// zero). Deadlines carry into seconds and a wait is never negative.
TEST(PortSettings, ByteTimeAndDeadlines) {
  EXPECT_EQ(serial::impl::byteTimeNs(line(9600)), 1041660u);
  EXPECT_EQ(serial::impl::byteTimeNs(line(9600, 8, 2, 3)), 1197909u);  // 104166 ns x 11.5, truncated
  EXPECT_EQ(serial::impl::byteTimeNs(line(300, 5, 1, 3)), 28333330u);
  EXPECT_EQ(serial::impl::byteTimeNs(line(0)), 0u);
  const timespec deadline = serial::impl::deadlineAfter(timespec{5, 999000000}, 2);
  EXPECT_EQ(deadline.tv_sec * 1000000000 + deadline.tv_nsec, 6001000000);
  const timespec far = serial::impl::deadlineAfter(timespec{5, 500000000}, 4294967295u);
  EXPECT_EQ(far.tv_sec * 1000000000 + far.tv_nsec, (5 + 4294967) * 1000000000L + 795000000);
  EXPECT_EQ(serial::impl::remainingMs(timespec{6, 1000000}, timespec{5, 999000000}), 2);
  EXPECT_EQ(serial::impl::remainingMs(timespec{5, 0}, timespec{5, 300000000}), -300);
  for (const auto& [ms, ns] : {std::pair<int64_t, int64_t>{1500, 1500000000}, {0, 0}, {-4000, 0}}) {
    const timespec wait = serial::impl::timespecFromMs(ms);
    EXPECT_EQ(wait.tv_sec * 1000000000 + wait.tv_nsec, ns) << ms;
  }
}
