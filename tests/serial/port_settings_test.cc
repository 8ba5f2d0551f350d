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

termios allFlagsSet() {
  termios options;
  std::memset(&options, 0xff, sizeof options);
  cfsetispeed(&options, B9600);
  cfsetospeed(&options, B9600);
  return options;
}

termios allFlagsClear() {
  termios options;
  std::memset(&options, 0, sizeof options);
  cfsetispeed(&options, B9600);
  cfsetospeed(&options, B9600);
  return options;
}

std::string invalidArgumentText(const LineSettings& settings) {
  termios options = allFlagsClear();
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
  const serial::bytesize_t sizes[] = {serial::fivebits, serial::sixbits, serial::sevenbits,
                                      serial::eightbits};
  const tcflag_t size_flags[] = {CS5, CS6, CS7, CS8};
  const serial::parity_t parities[] = {serial::parity_none, serial::parity_odd, serial::parity_even,
                                       serial::parity_mark, serial::parity_space};
  // PARENB, PARODD, CMSPAR for each parity.
  const bool parity_flags[][3] = {{false, false, false}, {true, true, false}, {true, false, false},
                                  {true, true, true},    {true, false, true}};
  const serial::stopbits_t stops[] = {serial::stopbits_one, serial::stopbits_two,
                                      serial::stopbits_one_point_five};
  const serial::flowcontrol_t flows[] = {serial::flowcontrol_none, serial::flowcontrol_software,
                                         serial::flowcontrol_hardware};

  for (const termios& before : {allFlagsSet(), allFlagsClear()}) {
    for (int s = 0; s < 4; ++s) {
      for (int p = 0; p < 5; ++p) {
        for (const auto stop : stops) {
          for (const auto flowcontrol : flows) {
            SCOPED_TRACE(testing::Message() << "bits " << sizes[s] << " parity " << parities[p]
                                            << " stop " << stop << " flow " << flowcontrol
                                            << " from " << (before.c_lflag ? "set" : "clear"));
            termios options = before;
            FlowFlags flow{!before.c_lflag, !before.c_lflag};
            const bool custom = serial::impl::composeTermios(
                options, LineSettings{9600, sizes[s], parities[p], stop, flowcontrol}, flow);

            EXPECT_FALSE(custom);
            EXPECT_EQ(cfgetospeed(&options), static_cast<speed_t>(B9600));
            EXPECT_EQ(cfgetispeed(&options), static_cast<speed_t>(B9600));
            EXPECT_EQ(options.c_cflag & CSIZE, size_flags[s]);
            EXPECT_EQ((options.c_cflag & CSTOPB) != 0, stop != serial::stopbits_one);
            EXPECT_EQ((options.c_cflag & PARENB) != 0, parity_flags[p][0]);
            EXPECT_EQ((options.c_cflag & PARODD) != 0, parity_flags[p][1]);
            EXPECT_EQ((options.c_cflag & CMSPAR) != 0, parity_flags[p][2]);
            EXPECT_EQ(options.c_iflag & (INPCK | ISTRIP), 0u);

            const bool software = flowcontrol == serial::flowcontrol_software;
            const bool hardware = flowcontrol == serial::flowcontrol_hardware;
            EXPECT_EQ(flow.xonxoff, software);
            EXPECT_EQ(flow.rtscts, hardware);
            EXPECT_EQ((options.c_iflag & IXON) != 0, software);
            EXPECT_EQ((options.c_iflag & IXOFF) != 0, software);
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

TEST(PortSettings, UnknownFlowControlKeepsWhatWasInEffect) {
  for (const FlowFlags kept : {FlowFlags{true, false}, FlowFlags{false, true}, FlowFlags{false, false}}) {
    termios options = allFlagsClear();
    FlowFlags flow = kept;
    serial::impl::composeTermios(options,
                                 LineSettings{9600, serial::eightbits, serial::parity_none,
                                              serial::stopbits_one,
                                              static_cast<serial::flowcontrol_t>(3)},
                                 flow);
    EXPECT_EQ(flow.xonxoff, kept.xonxoff);
    EXPECT_EQ(flow.rtscts, kept.rtscts);
    EXPECT_EQ((options.c_iflag & IXON) != 0, kept.xonxoff);
    EXPECT_EQ((options.c_cflag & CRTSCTS) != 0, kept.rtscts);
  }
}

TEST(PortSettings, OutOfRangeFramingIsRefusedInDataStopParityOrder) {
  const auto bad = [](int bits, int parity, int stop) {
    return LineSettings{9600, static_cast<serial::bytesize_t>(bits),
                        static_cast<serial::parity_t>(parity), static_cast<serial::stopbits_t>(stop),
                        serial::flowcontrol_none};
  };
  EXPECT_EQ(invalidArgumentText(bad(9, 7, 0)), "invalid char len");
  EXPECT_EQ(invalidArgumentText(bad(4, 0, 1)), "invalid char len");
  EXPECT_EQ(invalidArgumentText(bad(8, 7, 0)), "invalid stop bit");
  EXPECT_EQ(invalidArgumentText(bad(8, 5, 1)), "invalid parity");
  EXPECT_EQ(invalidArgumentText(bad(8, 4, 3)), "");
}

TEST(PortSettings, StandardRatesGetTheirConstantAndOthersTheCustomSpeed) {
  const struct {
    uint32_t baudrate;
    speed_t expected;
    bool custom;
  } cases[] = {
      {0, B0, false},           {50, B50, false},           {9600, B9600, false},
      {38400, B38400, false},   {115200, B115200, false},   {576000, B576000, false},
      {4000000, B4000000, false},
      // The driver puts the divisor in place of 38400 only, whatever the old speed.
      {250000, B38400, true},   {14400, B38400, true},      {5000000, B38400, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.baudrate);
    termios options = allFlagsClear();
    FlowFlags flow;
    const bool custom = serial::impl::composeTermios(
        options,
        LineSettings{c.baudrate, serial::eightbits, serial::parity_none, serial::stopbits_one,
                     serial::flowcontrol_none},
        flow);
    EXPECT_EQ(custom, c.custom);
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
      {{9600, serial::eightbits, serial::parity_none, serial::stopbits_one, serial::flowcontrol_none}, 1041660},
      // 104166 ns x 11.5, truncated.
      {{9600, serial::eightbits, serial::parity_even, serial::stopbits_one_point_five, serial::flowcontrol_none}, 1197909},
      {{9600, serial::sevenbits, serial::parity_mark, serial::stopbits_two, serial::flowcontrol_none}, 1145826},
      {{115200, serial::eightbits, serial::parity_none, serial::stopbits_one, serial::flowcontrol_none}, 86800},
      {{300, serial::fivebits, serial::parity_odd, serial::stopbits_one_point_five, serial::flowcontrol_none}, 28333330},
      // No rate, no time: never a division by zero.
      {{0, serial::eightbits, serial::parity_none, serial::stopbits_one, serial::flowcontrol_none}, 0},
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
  } waits[] = {{1500, 1, 500000000}, {999, 0, 999000000}, {0, 0, 0}, {-1, 0, 0}, {-4000, 0, 0}};
  for (const auto& w : waits) {
    const timespec t = serial::impl::timespecFromMs(w.ms);
    EXPECT_EQ(t.tv_sec, w.sec) << w.ms;
    EXPECT_EQ(t.tv_nsec, w.nsec) << w.ms;
  }
}

TEST(SerialExceptions, TextsCarryDescriptionFileLineAndSystemText) {
  EXPECT_STREQ(serial::SerialException("Serial port already open.").what(),
               "SerialException Serial port already open. failed.");
  EXPECT_STREQ(serial::PortNotOpenedException("Serial::flushInput").what(),
               "PortNotOpenedException Serial::flushInput failed.");
  const serial::IOException from_errno("serial/src/impl/unix/unix.cc", 151, 2);
  EXPECT_EQ(std::string(from_errno.what()),
            std::string("IO Exception (2): ") + std::strerror(2) +
                ", file serial/src/impl/unix/unix.cc, line 151.");
  EXPECT_EQ(from_errno.getErrorNumber(), 2);
  const serial::IOException described("f.cc", 164, "Invalid file descriptor, is the serial port open?");
  EXPECT_STREQ(described.what(),
               "IO Exception: Invalid file descriptor, is the serial port open?, file f.cc, line 164.");
  EXPECT_EQ(described.getErrorNumber(), 0);
}
