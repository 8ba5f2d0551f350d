#ifndef SERIAL_IMPL_PORT_SETTINGS_H
#define SERIAL_IMPL_PORT_SETTINGS_H

// The computations behind opening a POSIX port, kept free of any device so
// that every framing can be checked without hardware: a pseudo-terminal
// accepts any framing and any rate but shows none of them on a line.

#include <linux/serial.h>
#include <termios.h>

#include <cstdint>

#include "serial/enums.h"

namespace serial {
namespace impl {

struct LineSettings {
  uint32_t baudrate;
  bytesize_t bytesize;
  parity_t parity;
  stopbits_t stopbits;
  flowcontrol_t flowcontrol;
};

// Flow control in effect; a flow-control code outside the enumeration keeps
// whatever was in effect before.
struct FlowFlags {
  bool xonxoff = false;
  bool rtscts = false;
};

// The termios constant of a standard rate; false for a rate that needs a
// custom divisor.
bool baudConstant(uint32_t baudrate, speed_t& constant);

// Puts options into raw mode with the rate, framing and flow control of
// settings, and VMIN = VTIME = 0. A custom rate sets B38400, the speed the
// serial driver replaces by the custom divisor; the result tells whether that
// divisor is needed. Throws std::invalid_argument for data bits, stop bits or
// parity outside their enumerations, checked in that order.
bool composeTermios(termios& options, const LineSettings& settings, FlowFlags& flow);

// Sets the custom divisor for baudrate in info. Throws std::invalid_argument
// when the rate is above what the divisor can give (a divisor of 0).
void applyCustomDivisor(serial_struct& info, uint32_t baudrate);

// Drops a custom divisor or speed remapping a former user left in info; true
// when there was one. Such a setting outlives the descriptor and would put a
// later standard 38400 baud on some other rate.
bool clearSpeedRemapping(serial_struct& info);

// Time of one character on the line in nanoseconds: start bit, data bits,
// parity bit and stop bits. A rate of 0 gives 0.
uint32_t byteTimeNs(const LineSettings& settings);

}  // namespace impl
}  // namespace serial

#endif
