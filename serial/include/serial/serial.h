#ifndef SERIAL_SERIAL_H
#define SERIAL_SERIAL_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <vector>

#include "serial/enums.h"

namespace serial {

// Millisecond timeouts of one port. A read of n bytes may take at most
// read_timeout_constant + read_timeout_multiplier * n in all, a write likewise
// with the write pair (unsigned 32-bit arithmetic). inter_byte_timeout bounds
// each wait for a further byte within one read; all bits set selects pacing by
// the time of one character on the line instead.
struct Timeout {
  uint32_t inter_byte_timeout = 0;
  uint32_t read_timeout_constant = 0;
  uint32_t read_timeout_multiplier = 0;
  uint32_t write_timeout_constant = 0;
  uint32_t write_timeout_multiplier = 0;
};

class Serial {
 public:
  // Opens the port at once when its path is not empty, then applies timeout.
  Serial(const std::string& port, uint32_t baudrate, Timeout timeout, bytesize_t bytesize,
         parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol);
  virtual ~Serial();

  Serial(const Serial&) = delete;
  Serial& operator=(const Serial&) = delete;

  void open();
  void close();
  bool isOpen() const;

  size_t available();
  // Waits up to read_timeout_constant ms for input; true when input is there.
  bool waitReadable();

  // Timed reads: the result is below size when the total timeout ran out.
  size_t read(uint8_t* buffer, size_t size);
  size_t read(std::vector<uint8_t>& buffer, size_t size);
  size_t read(std::string& buffer, size_t size);
  std::string read(size_t size);

  // Reads until the text ends with eol, size bytes are in or a byte times out.
  size_t readline(std::string& buffer, size_t size, const std::string& eol);
  std::string readline(size_t size, const std::string& eol);
  std::vector<std::string> readlines(size_t size, const std::string& eol);

  // Timed writes: the result is below size when the total timeout ran out.
  size_t write(const uint8_t* data, size_t size);
  size_t write(const std::vector<uint8_t>& data);
  size_t write(const std::string& data);

  void setPort(const std::string& port);
  std::string getPort() const;

  void setTimeout(const Timeout& timeout);
  Timeout getTimeout() const;

  // Waits until all written output has left the port.
  void flush();
  // Discards received input that was not read yet.
  void flushInput();
  // Discards written output that was not transmitted yet.
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

  class SerialImpl;

 private:
  class ScopedReadLock;
  class ScopedWriteLock;

  SerialImpl* pimpl_;
};

class SerialException : public std::exception {
 public:
  explicit SerialException(const char* description);
  const char* what() const noexcept override;

 private:
  std::string e_what_;
};

class IOException : public std::exception {
 public:
  IOException(std::string file, int line, int errnum);
  IOException(std::string file, int line, const char* description);
  const char* what() const noexcept override;

  int getErrorNumber() const { return errno_; }

 private:
  std::string file_;
  int line_;
  std::string e_what_;
  int errno_ = 0;
};

class PortNotOpenedException : public std::exception {
 public:
  explicit PortNotOpenedException(const char* description);
  const char* what() const noexcept override;

 private:
  std::string e_what_;
};

}  // namespace serial

#endif
