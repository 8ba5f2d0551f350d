#include "impl/unix/unix.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/select.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <sstream>
#include <stdexcept>

#include "serial/impl/port_settings.h"
#include "serial/impl/time_budget.h"

// The path this file is built under, as exception texts name it; the build
// passes it relative to the source tree so texts do not depend on checkouts.
#ifndef SERIAL_IMPL_FILE
#define SERIAL_IMPL_FILE "serial/src/impl/unix/unix.cc"
#endif

namespace serial {

namespace {

const char* const kFile = SERIAL_IMPL_FILE;

timespec monotonicNow() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return now;
}

// Throws the line-control failure text: prefix, errno, one blank, its text.
[[noreturn]] void throwIoctlFailure(const char* prefix) {
  const int error = errno;
  std::stringstream ss;
  ss << prefix << error << " " << strerror(error);
  throw SerialException(ss.str().c_str());
}

}  // namespace

Serial::SerialImpl::SerialImpl(const std::string& port, uint32_t baudrate, bytesize_t bytesize,
                               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : port_(port),
      fd_(-1),
      is_open_(false),
      xonxoff_(false),
      rtscts_(false),
      timeout_(),
      baudrate_(baudrate),
      parity_(parity),
      bytesize_(bytesize),
      stopbits_(stopbits),
      flowcontrol_(flowcontrol) {
  pthread_mutex_init(&read_mutex_, nullptr);
  pthread_mutex_init(&write_mutex_, nullptr);
  if (port_.empty()) return;
  try {
    open();
  } catch (...) {
    // The destructor does not run for an object that never finished.
    pthread_mutex_destroy(&write_mutex_);
    pthread_mutex_destroy(&read_mutex_);
    throw;
  }
}

Serial::SerialImpl::~SerialImpl() {
  try {
    close();
  } catch (const std::exception&) {
    // The descriptor is released either way; nobody is left to tell.
  }
  pthread_mutex_destroy(&write_mutex_);
  pthread_mutex_destroy(&read_mutex_);
}

void Serial::SerialImpl::open() {
  if (port_.empty()) throw std::invalid_argument("Empty port is invalid.");
  if (is_open_) throw SerialException("Serial port already open.");

  for (;;) {
    fd_ = ::open(port_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ != -1) break;
    const int error = errno;
    switch (error) {
      case EINTR: continue;
      case ENFILE:
      case EMFILE: throw IOException(kFile, 149, "Too many file handles open.");
      default: throw IOException(kFile, 151, error);
    }
  }
  // select can only watch descriptors below FD_SETSIZE; a higher one would be
  // written past the end of its set.
  if (fd_ >= FD_SETSIZE) {
    ::close(fd_);
    fd_ = -1;
    throw IOException(kFile, 149, "Too many file handles open.");
  }

  try {
    reconfigurePort();
  } catch (...) {
    // The connection above reopens on every failed call: a descriptor kept
    // here would pile up until the whole process runs out of them.
    ::close(fd_);
    fd_ = -1;
    is_open_ = false;
    throw;
  }
  is_open_ = true;
}

void Serial::SerialImpl::reconfigurePort() {
  if (fd_ == -1) throw IOException(kFile, 164, "Invalid file descriptor, is the serial port open?");

  termios options;
  if (tcgetattr(fd_, &options) == -1) throw IOException(kFile, 170, "::tcgetattr");

  const impl::LineSettings settings{baudrate_, bytesize_, parity_, stopbits_, flowcontrol_};
  impl::FlowFlags flow{xonxoff_, rtscts_};
  const bool custom = impl::composeTermios(options, settings, flow);
  xonxoff_ = flow.xonxoff;
  rtscts_ = flow.rtscts;

  tcsetattr(fd_, TCSANOW, &options);

  if (custom) {
    serial_struct info;
    if (ioctl(fd_, TIOCGSERIAL, &info) == -1) throw IOException(kFile, 434, errno);
    impl::applyCustomDivisor(info, baudrate_);
    if (ioctl(fd_, TIOCSSERIAL, &info) == -1) throw IOException(kFile, 444, errno);
  } else if (cfgetospeed(&options) == B38400) {
    // A true 38400 must not run at the custom rate an earlier open left behind.
    // Devices without serial info have nothing to clear, so failures are moot.
    serial_struct info;
    if (ioctl(fd_, TIOCGSERIAL, &info) == 0 && impl::clearSpeedRemapping(info)) {
      ioctl(fd_, TIOCSSERIAL, &info);
    }
  }

  byte_time_ns_ = impl::byteTimeNs(settings);
}

void Serial::SerialImpl::close() {
  if (!is_open_) return;
  if (fd_ != -1) {
    const int result = ::close(fd_);
    // Linux releases the descriptor even when close fails; closing it again
    // later could close one that another thread has been given meanwhile.
    fd_ = -1;
    is_open_ = false;
    if (result != 0) throw IOException(kFile, 472, errno);
  }
  is_open_ = false;
}

size_t Serial::SerialImpl::available() {
  if (!is_open_) return 0;
  int count = 0;
  if (ioctl(fd_, FIONREAD, &count) == -1) throw IOException(kFile, 493, errno);
  return static_cast<size_t>(count);
}

bool Serial::SerialImpl::waitReadable(uint32_t timeout_ms) {
  fd_set readfds;
  FD_ZERO(&readfds);
  FD_SET(fd_, &readfds);
  const timespec timeout = impl::timespecFromMs(timeout_ms);
  const int result = pselect(fd_ + 1, &readfds, nullptr, nullptr, &timeout, nullptr);
  if (result < 0) {
    if (errno == EINTR) return false;
    throw IOException(kFile, 515, errno);
  }
  if (result == 0) return false;
  if (!FD_ISSET(fd_, &readfds)) {
    throw IOException(kFile, 523,
                      "select reports ready to read, but our fd isn't in the list, this shouldn't "
                      "happen!");
  }
  return true;
}

void Serial::SerialImpl::waitByteTimes(size_t count) {
  // Worked out in 64 bits and split into seconds: select refuses a
  // nanoseconds field of a second or more and would not wait at all.
  const uint64_t ns = static_cast<uint64_t>(count) * byte_time_ns_;
  const timespec pause{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
  pselect(0, nullptr, nullptr, nullptr, &pause, nullptr);
}

size_t Serial::SerialImpl::read(uint8_t* buffer, size_t size) {
  if (!is_open_) throw PortNotOpenedException("Serial::read");

  const uint32_t total_ms = timeout_.read_timeout_constant +
                            timeout_.read_timeout_multiplier * static_cast<uint32_t>(size);
  const timespec deadline = impl::deadlineAfter(monotonicNow(), total_ms);

  // Whatever is buffered already is taken without any wait.
  const ssize_t first = ::read(fd_, buffer, size);
  size_t bytes_read = first < 0 ? 0 : static_cast<size_t>(first);

  while (bytes_read < size) {
    const int64_t remaining_ms = impl::remainingMs(deadline, monotonicNow());
    if (remaining_ms <= 0) break;
    const uint32_t wait_ms = static_cast<uint32_t>(remaining_ms) < timeout_.inter_byte_timeout
                                 ? static_cast<uint32_t>(remaining_ms)
                                 : timeout_.inter_byte_timeout;
    if (!waitReadable(wait_ms)) continue;

    if (size != 1 && timeout_.inter_byte_timeout == UINT32_MAX) {
      // Let the rest of the message arrive before reading it in one go.
      const size_t pending = available() + bytes_read;
      if (pending < size) waitByteTimes(size - pending);
    }

    const ssize_t n = ::read(fd_, buffer + bytes_read, size - bytes_read);
    if (n < 1) {
      throw SerialException(
          "device reports readiness to read but returned no data (device disconnected?)");
    }
    bytes_read += static_cast<size_t>(n);
    if (bytes_read == size) break;
    if (bytes_read > size) {
      throw SerialException(
          "read over read, too many bytes where read, this shouldn't happen, might be a logical "
          "error!");
    }
  }
  return bytes_read;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
  if (!is_open_) throw PortNotOpenedException("Serial::write");

  const uint32_t total_ms = timeout_.write_timeout_constant +
                            timeout_.write_timeout_multiplier * static_cast<uint32_t>(length);
  const timespec deadline = impl::deadlineAfter(monotonicNow(), total_ms);

  size_t written = 0;
  if (length == 0) return 0;

  for (bool first_pass = true;; first_pass = false) {
    const int64_t remaining_ms = impl::remainingMs(deadline, monotonicNow());
    // The first pass always tries once, even with no time left.
    if (!first_pass && remaining_ms <= 0) return written;

    fd_set writefds;
    FD_ZERO(&writefds);
    FD_SET(fd_, &writefds);
    const timespec timeout = impl::timespecFromMs(remaining_ms);
    const int result = pselect(fd_ + 1, nullptr, &writefds, nullptr, &timeout, nullptr);
    if (result < 0) {
      if (errno == EINTR) continue;
      throw IOException(kFile, 655, errno);
    }
    if (result == 0) return written;
    if (!FD_ISSET(fd_, &writefds)) {
      throw IOException(kFile, 708,
                        "select reports ready to write, but our fd isn't in the list, this "
                        "shouldn't happen!");
    }

    const ssize_t n = ::write(fd_, data + written, length - written);
    if (n == -1 && errno == EINTR) continue;
    if (n < 1) {
      const int error = errno;
      std::stringstream ss;
      ss << "device reports readiness to write but returned no data (device disconnected?)"
         << " errno=" << error << " bytes_written_now= " << n << " bytes_written=" << written
         << " length=" << length;
      throw SerialException(ss.str().c_str());
    }
    written += static_cast<size_t>(n);
    if (written == length) return written;
    if (written > length) {
      throw SerialException(
          "write over wrote, too many bytes where written, this shouldn't happen, might be a "
          "logical error!");
    }
  }
}

void Serial::SerialImpl::flush() {
  if (!is_open_) throw PortNotOpenedException("Serial::flush");
  tcdrain(fd_);
}

void Serial::SerialImpl::flushInput() {
  if (!is_open_) throw PortNotOpenedException("Serial::flushInput");
  tcflush(fd_, TCIFLUSH);
}

void Serial::SerialImpl::flushOutput() {
  if (!is_open_) throw PortNotOpenedException("Serial::flushOutput");
  tcflush(fd_, TCOFLUSH);
}

void Serial::SerialImpl::sendBreak(int duration) {
  if (!is_open_) throw PortNotOpenedException("Serial::sendBreak");
  tcsendbreak(fd_, duration / 4);
}

void Serial::SerialImpl::setBreak(bool level) {
  if (!is_open_) throw PortNotOpenedException("Serial::setBreak");
  if (level) {
    if (ioctl(fd_, TIOCSBRK) == -1) throwIoctlFailure("setBreak failed on a call to ioctl(TIOCSBRK): ");
  } else {
    if (ioctl(fd_, TIOCCBRK) == -1) throwIoctlFailure("setBreak failed on a call to ioctl(TIOCCBRK): ");
  }
}

void Serial::SerialImpl::setRTS(bool level) {
  if (!is_open_) throw PortNotOpenedException("Serial::setRTS");
  int command = TIOCM_RTS;
  if (level) {
    if (ioctl(fd_, TIOCMBIS, &command) == -1) throwIoctlFailure("setRTS failed on a call to ioctl(TIOCMBIS): ");
  } else {
    if (ioctl(fd_, TIOCMBIC, &command) == -1) throwIoctlFailure("setRTS failed on a call to ioctl(TIOCMBIC): ");
  }
}

void Serial::SerialImpl::setDTR(bool level) {
  if (!is_open_) throw PortNotOpenedException("Serial::setDTR");
  int command = TIOCM_DTR;
  if (level) {
    if (ioctl(fd_, TIOCMBIS, &command) == -1) throwIoctlFailure("setDTR failed on a call to ioctl(TIOCMBIS): ");
  } else {
    if (ioctl(fd_, TIOCMBIC, &command) == -1) throwIoctlFailure("setDTR failed on a call to ioctl(TIOCMBIC): ");
  }
}

bool Serial::SerialImpl::waitForChange() {
  const int lines = TIOCM_CTS | TIOCM_CD | TIOCM_RI | TIOCM_DSR;
  if (ioctl(fd_, TIOCMIWAIT, lines) == -1) throwIoctlFailure("waitForDSR failed on a call to ioctl(TIOCMIWAIT): ");
  return true;
}

bool Serial::SerialImpl::modemLine(int bit, const char* failure_prefix) {
  int status = 0;
  if (ioctl(fd_, TIOCMGET, &status) == -1) throwIoctlFailure(failure_prefix);
  return (status & bit) != 0;
}

bool Serial::SerialImpl::getCTS() {
  if (!is_open_) throw PortNotOpenedException("Serial::getCTS");
  return modemLine(TIOCM_CTS, "getCTS failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getDSR() {
  if (!is_open_) throw PortNotOpenedException("Serial::getDSR");
  return modemLine(TIOCM_DSR, "getDSR failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getRI() {
  if (!is_open_) throw PortNotOpenedException("Serial::getRI");
  return modemLine(TIOCM_RI, "getRI failed on a call to ioctl(TIOCMGET): ");
}

bool Serial::SerialImpl::getCD() {
  if (!is_open_) throw PortNotOpenedException("Serial::getCD");
  return modemLine(TIOCM_CD, "getCD failed on a call to ioctl(TIOCMGET): ");
}

void Serial::SerialImpl::readLock() {
  if (const int result = pthread_mutex_lock(&read_mutex_)) throw IOException(kFile, 1053, result);
}

void Serial::SerialImpl::readUnlock() {
  if (const int result = pthread_mutex_unlock(&read_mutex_)) throw IOException(kFile, 1062, result);
}

void Serial::SerialImpl::writeLock() {
  if (const int result = pthread_mutex_lock(&write_mutex_)) throw IOException(kFile, 1071, result);
}

void Serial::SerialImpl::writeUnlock() {
  if (const int result = pthread_mutex_unlock(&write_mutex_)) throw IOException(kFile, 1080, result);
}

}  // namespace serial
