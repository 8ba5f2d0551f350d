#ifndef SERIAL_IMPL_UNIX_H
#define SERIAL_IMPL_UNIX_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "serial/serial.h"

namespace serial {

// The POSIX port: a non-blocking descriptor in raw mode with VMIN = VTIME = 0,
// so every wait is timed here with pselect on CLOCK_MONOTONIC deadlines.
class Serial::SerialImpl {
 public:
  SerialImpl(const std::string& port, uint32_t baudrate, bytesize_t bytesize, parity_t parity,
             stopbits_t stopbits, flowcontrol_t flowcontrol);
  virtual ~SerialImpl();

  SerialImpl(const SerialImpl&) = delete;
  SerialImpl& operator=(const SerialImpl&) = delete;

  void open();
  void close();
  bool isOpen() const { return is_open_; }

  size_t available();
  bool waitReadable(uint32_t timeout_ms);
  void waitByteTimes(size_t count);

  size_t read(uint8_t* buffer, size_t size);
  size_t write(const uint8_t* data, size_t length);

  void setPort(const std::string& port) { port_ = port; }
  std::string getPort() const { return port_; }
  void setTimeout(const Timeout& timeout) { timeout_ = timeout; }
  Timeout getTimeout() const { return timeout_; }

  void flush();
  void flushInput();
  void flushOutput();

  void sendBreak(int duration);
  void setBreak(bool level);
  void setRTS(bool level);
  void setDTR(bool level);
  bool waitForChange();
  bool getCTS();
  bool getDSR();
  bool getRI();
  bool getCD();

  void readLock();
  void readUnlock();
  void writeLock();
  void writeUnlock();

 private:
  void reconfigurePort();
  bool modemLine(int bit, const char* failure_prefix);

  std::string port_;
  int fd_;
  bool is_open_;
  bool xonxoff_;
  bool rtscts_;
  Timeout timeout_;
  uint32_t baudrate_;
  uint32_t byte_time_ns_ = 0;
  parity_t parity_;
  bytesize_t bytesize_;
  stopbits_t stopbits_;
  flowcontrol_t flowcontrol_;
  pthread_mutex_t read_mutex_;
  pthread_mutex_t write_mutex_;
};

}  // namespace serial

#endif
