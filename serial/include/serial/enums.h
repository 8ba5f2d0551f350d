#ifndef SERIAL_ENUMS_H
#define SERIAL_ENUMS_H

// The numeric values are stored in the gateway's cache database, so they are
// part of the library's interface and must never be renumbered.
namespace serial {

typedef enum {
  fivebits = 5,
  sixbits = 6,
  sevenbits = 7,
  eightbits = 8
} bytesize_t;

typedef enum {
  parity_none = 0,
  parity_odd = 1,
  parity_even = 2,
  parity_mark = 3,
  parity_space = 4
} parity_t;

typedef enum {
  stopbits_one = 1,
  stopbits_two = 2,
  stopbits_one_point_five = 3
} stopbits_t;

typedef enum {
  flowcontrol_none = 0,
  flowcontrol_software = 1,
  flowcontrol_hardware = 2
} flowcontrol_t;

}  // namespace serial

#endif
