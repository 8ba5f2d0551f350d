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

// Every flag byte set to fill, at 9600 baud: what a former user left behind.
termios previousOptions(unsigned char fill) {
  termios options;
  std::memset(&options, fill, sizeof options);
  cfsetispeed(&options, B9600);
  cfsetospeed(&options, B9600);
  return options;
}

LineSettings line(uint32_t baudrate, int bits = 8, int parity = 0, int stop = 1, int flow = 0) {
  return LineSettings{baudrate, static_cast<serial::bytesize_t>(bits), static_cast<serial::parity_t>(parity),
                      static_cast<serial::stopbits_t>(stop), static_cast<serial::flowcontrol_t>(flow)};
}

std::string invalidArgumentText(const LineSettings& settings) {
  termios options = previousOptions(0);
  FlowFlags flow;
  try {
    serial::impl::composeTermios(options, settings, flow);
  } catch (const std::invalid_argument& e) {
    return e.what();
  }
  return "";
}

}  // namespace

TEST(PortSettings, EveryFramingComposesItsFlagsWhateverTheDeviceHadBefore) {
  const tcflag_t size_flags[] = {CS5, CS6, CS7, CS8};
  // For none, odd, even, mark and space.
  const tcflag_t parity_flags[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR, PARENB | CMSPAR};
  const serial::stopbits_t stops[] = {serial::stopbits_one, serial::stopbits_two, serial::stopbits_one_point_five};

  for (const unsigned char fill : {0xff, 0x00}) {
    for (int bits = 5; bits <= 8; ++bits) {
      for (int parity = 0; parity < 5; ++parity) {
        for (const auto stop : stops) {
          // Flow control 3 is outside the enumeration: what was in effect stays.
          for (int flowcontrol = 0; flowcontrol <= 3; ++flowcontrol) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " parity " << parity << " stop " << stop
                                            << " flow " << flowcontrol << " fill " << int(fill));
            termios options = previousOptions(fill);
            const FlowFlags previous{fill == 0, fill != 0};
            FlowFlags flow = previous;
            EXPECT_FALSE(serial::impl::composeTermios(options, line(9600, bits, parity, stop, flowcontrol), flow));

            EXPECT_EQ(cfgetospeed(&options), static_cast<speed_t>(B9600));
            EXPECT_EQ(cfgetispeed(&options), static_cast<speed_t>(B9600));
            EXPECT_EQ(options.c_cflag & CSIZE, size_flags[bits - 5]);
            EXPECT_EQ((options.c_cflag & CSTOPB) != 0, stop != serial::stopbits_one);
            EXPECT_EQ(options.c_cflag & (PARENB | PARODD | CMSPAR), parity_flags[parity]);
            EXPECT_EQ(options.c_iflag & (INPCK | ISTRIP), 0u);

            const bool software = flowcontrol == 3 ? previous.xonxoff : flowcontrol == serial::flowcontrol_software;
            const bool hardware = flowcontrol == 3 ? previous.rtscts : flowcontrol == serial::flowcontrol_hardware;
            EXPECT_EQ(flow.xonxoff, software);
            EXPECT_EQ(flow.rtscts, hardware);
            EXPECT_EQ(options.c_iflag & (IXON | IXOFF), software ? static_cast<tcflag_t>(IXON | IXOFF) : 0u);
            if (!software) {
              EXPECT_EQ(options.c_iflag & IXANY, 0u);
            }
            EXPECT_EQ((options.c_cflag & CRTSCTS) != 0, hardware);

            // Raw mode whatever the framing.
            EXPECT_EQ(options.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
            EXPECT_EQ(options.c_lflag & (ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN), 0u);
            EXPECT_EQ(options.c_oflag & OPOST, 0u);
            EXPECT_EQ(options.c_iflag & (INLCR | IGNCR | ICRNL | IGNBRK | IUCLC | PARMRK), 0u);
            EXPECT_EQ(options.c_cc[VMIN], 0);
            EXPECT_EQ(options.c_cc[VTIME], 0);
          }
        }
      }
    }
  }
}

TEST(PortSettings, OutOfRangeFramingIsRefusedInDataStopParityOrder) {
  EXPECT_EQ(invalidArgumentText(line(9600, 9, 7, 0)), "invalid char len");
  EXPECT_EQ(invalidArgumentText(line(9600, 4, 0, 1)), "invalid char len");
  EXPECT_EQ(invalidArgumentText(line(9600, 8, 7, 0)), "invalid stop bit");
  EXPECT_EQ(invalidArgumentText(line(9600, 8, 5, 1)), "invalid parity");
  EXPECT_EQ(invalidArgumentText(line(9600, 8, 4, 3)), "");
}

TEST(PortSettings, StandardRatesGetTheirConstantAndOthersTheCustomSpeed) {
  const struct {
    uint32_t baudrate;
    speed_t expected;
    bool custom;
  } cases[] = {
      {0, B0, false}, {9600, B9600, false}, {115200, B115200, false}, {4000000, B4000000, false},
      // The driver puts the divisor in place of 38400 only, whatever the old speed.
      {250000, B38400, true}, {14400, B38400, true}, {5000000, B38400, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baudrate);
    termios options = previousOptions(0);
    FlowFlags flow;
    EXPECT_EQ(serial::impl::composeTermios(options, line(c.baudrate), flow), c.custom);
    EXPECT_EQ(cfgetospeed(&options), c.expected);
    EXPECT_EQ(cfgetispeed(&options), c.expected);
  }
}

TEST(PortSettings, CustomDivisorIsBaseOverRateAndRefusesZero) {
  serial_struct info{};
  info.baud_base = 1500000;
  info.flags = ASYNC_SPD_VHI | ASYNC_LOW_LATENCY;
  serial::impl::applyCustomDivisor(info, 250000);
  EXPECT_EQ(info.custom_divisor, 6);
  EXPECT_EQ(info.flags & ASYNC_SPD_MASK, ASYNC_SPD_CUST);
  EXPECT_NE(info.flags & ASYNC_LOW_LATENCY, 0);
  serial::impl::applyCustomDivisor(info, 14400);
  EXPECT_EQ(info.custom_divisor, 104);  // truncated

  for (const uint32_t unreachable : {250000u, 0u}) {
    serial_struct slow{};
    slow.baud_base = 115200;
    slow.custom_divisor = 3;
    EXPECT_THROW(serial::impl::applyCustomDivisor(slow, unreachable), std::invalid_argument);
    EXPECT_EQ(slow.custom_divisor, 3);
    EXPECT_EQ(slow.flags & ASYNC_SPD_MASK, 0);
  }
}

TEST(PortSettings, AStandardRateDropsASpeedRemappingLeftBehind) {
  serial_struct info{};
  info.custom_divisor = 6;
  info.flags = ASYNC_SPD_CUST | ASYNC_LOW_LATENCY;
  EXPECT_TRUE(serial::impl::clearSpeedRemapping(info));
  EXPECT_EQ(info.flags, ASYNC_LOW_LATENCY);
  EXPECT_FALSE(serial::impl::clearSpeedRemapping(info));
  info.flags = ASYNC_SPD_WARP;
  EXPECT_TRUE(serial::impl::clearSpeedRemapping(info));
  EXPECT_EQ(info.flags, 0);
}

TEST(PortSettings, ByteTimeCountsStartDataParityAndStopBits) {
  const struct {
    LineSettings settings;
    uint32_t expected_ns;
  } cases[] = {
      {line(9600), 1041660},
      {line(9600, 8, 2, 3), 1197909},  // even parity, 1.5 stop bits: 104166 ns x 11.5, truncated
      {line(300, 5, 1, 3), 28333330},
      {line(0), 0},  // no rate, no time: never a division by zero
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.settings.baudrate);
    EXPECT_EQ(serial::impl::byteTimeNs(c.settings), c.expected_ns);
  }
}

TEST(TimeBudget, DeadlinesCarryIntoSecondsAndNeverGiveANegativeWait) {
  const timespec deadline = serial::impl::deadlineAfter(timespec{5, 999000000}, 2);
  EXPECT_EQ(deadline.tv_sec, 6);
  EXPECT_EQ(deadline.tv_nsec, 1000000);
  const timespec far = serial::impl::deadlineAfter(timespec{5, 500000000}, 4294967295u);
  EXPECT_EQ(far.tv_sec, 5 + 4294967);
  EXPECT_EQ(far.tv_nsec, 795000000);

  EXPECT_EQ(serial::impl::remainingMs(timespec{6, 1000000}, timespec{5, 999000000}), 2);
  EXPECT_EQ(serial::impl::remainingMs(timespec{5, 0}, timespec{5, 300000000}), -300);

  const struct {
    int64_t ms;
    time_t sec;
    long nsec;
  } waits[] = {{1500, 1, 500000000}, {0, 0, 0}, {-4000, 0, 0}};
  for (const auto& w : waits) {
    const timespec t = serial::impl::timespecFromMs(w.ms);
    EXPECT_EQ(t.tv_sec, w.sec) << w.ms;
    EXPECT_EQ(t.tv_nsec, w.nsec) << w.ms;
  }
}
