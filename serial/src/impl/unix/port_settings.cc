#include "serial/impl/port_settings.h"

#include <stdexcept>

namespace serial {
namespace impl {

bool baudConstant(uint32_t baudrate, speed_t& constant) {
  switch (baudrate) {
    case 0: constant = B0; return true;
    case 50: constant = B50; return true;
    case 75: constant = B75; return true;
    case 110: constant = B110; return true;
    case 134: constant = B134; return true;
    case 150: constant = B150; return true;
    case 200: constant = B200; return true;
    case 300: constant = B300; return true;
    case 600: constant = B600; return true;
    case 1200: constant = B1200; return true;
    case 1800: constant = B1800; return true;
    case 2400: constant = B2400; return true;
    case 4800: constant = B4800; return true;
    case 9600: constant = B9600; return true;
    case 19200: constant = B19200; return true;
    case 38400: constant = B38400; return true;
    case 57600: constant = B57600; return true;
    case 115200: constant = B115200; return true;
    case 230400: constant = B230400; return true;
    case 460800: constant = B460800; return true;
    case 500000: constant = B500000; return true;
    case 576000: constant = B576000; return true;
    case 921600: constant = B921600; return true;
    case 1000000: constant = B1000000; return true;
    case 1152000: constant = B1152000; return true;
    case 1500000: constant = B1500000; return true;
    case 2000000: constant = B2000000; return true;
    case 2500000: constant = B2500000; return true;
    case 3000000: constant = B3000000; return true;
    case 3500000: constant = B3500000; return true;
    case 4000000: constant = B4000000; return true;
    default: return false;
  }
}

bool composeTermios(termios& options, const LineSettings& settings, FlowFlags& flow) {
  // Raw mode: no line editing, echo, signals or output processing, and no
  // translation of carriage returns, which are ordinary bytes in a binary frame.
  options.c_cflag |= CLOCAL | CREAD;
  options.c_lflag &= ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
  options.c_oflag &= ~OPOST;
  options.c_iflag &= ~(INLCR | IGNCR | ICRNL | IGNBRK | IUCLC | PARMRK);

  speed_t speed;
  const bool custom = !baudConstant(settings.baudrate, speed);
  // The serial driver puts the custom divisor in place of 38400 baud only; any
  // other termios speed would keep the line at that speed.
  if (custom) speed = B38400;
  cfsetispeed(&options, speed);
  cfsetospeed(&options, speed);

  options.c_cflag &= ~CSIZE;
  switch (settings.bytesize) {
    case eightbits: options.c_cflag |= CS8; break;
    case sevenbits: options.c_cflag |= CS7; break;
    case sixbits: options.c_cflag |= CS6; break;
    case fivebits: options.c_cflag |= CS5; break;
    default: throw std::invalid_argument("invalid char len");
  }

  switch (settings.stopbits) {
    case stopbits_one: options.c_cflag &= ~CSTOPB; break;
    // Termios has no one and a half stop bits; two is the nearest it offers.
    case stopbits_two:
    case stopbits_one_point_five: options.c_cflag |= CSTOPB; break;
    default: throw std::invalid_argument("invalid stop bit");
  }

  options.c_iflag &= ~(INPCK | ISTRIP);
  // CMSPAR is cleared for none, odd and even as well: a device left in mark or
  // space parity by its last user would otherwise send mark or space instead.
  switch (settings.parity) {
    case parity_none: options.c_cflag &= ~(PARENB | PARODD | CMSPAR); break;
    case parity_odd:
      options.c_cflag &= ~CMSPAR;
      options.c_cflag |= PARENB | PARODD;
      break;
    case parity_even:
      options.c_cflag &= ~(PARODD | CMSPAR);
      options.c_cflag |= PARENB;
      break;
    case parity_mark: options.c_cflag |= CMSPAR | PARENB | PARODD; break;
    case parity_space:
      options.c_cflag |= CMSPAR | PARENB;
      options.c_cflag &= ~PARODD;
      break;
    default: throw std::invalid_argument("invalid parity");
  }

  switch (settings.flowcontrol) {
    case flowcontrol_none: flow = FlowFlags{false, false}; break;
    case flowcontrol_software: flow = FlowFlags{true, false}; break;
    case flowcontrol_hardware: flow = FlowFlags{false, true}; break;
    default: break;
  }
  if (flow.xonxoff) {
    options.c_iflag |= IXON | IXOFF;
  } else {
    options.c_iflag &= ~(IXON | IXOFF | IXANY);
  }
  if (flow.rtscts) {
    options.c_cflag |= CRTSCTS;
  } else {
    options.c_cflag &= ~CRTSCTS;
  }

  // A read returns at once with what is there; the library times its waits.
  options.c_cc[VMIN] = 0;
  options.c_cc[VTIME] = 0;
  return custom;
}

void applyCustomDivisor(serial_struct& info, uint32_t baudrate) {
  const int divisor = baudrate == 0 ? 0 : static_cast<int>(info.baud_base / baudrate);
  // A divisor of 0 is no rate at all: the driver would fall back to 38400
  // baud and the line would run at a rate nobody asked for.
  if (divisor == 0) throw std::invalid_argument("invalid baud rate");
  info.custom_divisor = divisor;
  info.flags &= ~ASYNC_SPD_MASK;
  info.flags |= ASYNC_SPD_CUST;
}

bool clearSpeedRemapping(serial_struct& info) {
  if ((info.flags & ASYNC_SPD_MASK) == 0) return false;
  info.flags &= ~ASYNC_SPD_MASK;
  return true;
}

uint32_t byteTimeNs(const LineSettings& settings) {
  if (settings.baudrate == 0) return 0;
  const uint32_t bit_time_ns = static_cast<uint32_t>(1e9 / settings.baudrate);
  const uint32_t parity_bits = settings.parity == parity_none ? 0 : 1;
  const uint32_t bits_before_stop = 1 + settings.bytesize + parity_bits;
  if (settings.stopbits == stopbits_one_point_five) {
    return static_cast<uint32_t>(bit_time_ns * (bits_before_stop + 1.5));
  }
  const uint32_t stop_bits = settings.stopbits == stopbits_two ? 2 : 1;
  return bit_time_ns * (bits_before_stop + stop_bits);
}

}  // namespace impl
}  // namespace serial
