#include "serial/serial.h"

#include <exception>

#include "impl/unix/unix.h"

namespace serial {

// Holds one of the port's two locks for a scope. A failed unlock is reported
// only when no other exception is already leaving the scope.
class Serial::ScopedReadLock {
 public:
  explicit ScopedReadLock(SerialImpl* pimpl) : pimpl_(pimpl) { pimpl_->readLock(); }
  ~ScopedReadLock() noexcept(false) {
    if (std::uncaught_exceptions() > exceptions_on_entry_) {
      try {
        pimpl_->readUnlock();
      } catch (const std::exception&) {
      }
      return;
    }
    pimpl_->readUnlock();
  }
  ScopedReadLock(const ScopedReadLock&) = delete;
  ScopedReadLock& operator=(const ScopedReadLock&) = delete;

 private:
  SerialImpl* pimpl_;
  int exceptions_on_entry_ = std::uncaught_exceptions();
};

class Serial::ScopedWriteLock {
 public:
  explicit ScopedWriteLock(SerialImpl* pimpl) : pimpl_(pimpl) { pimpl_->writeLock(); }
  ~ScopedWriteLock() noexcept(false) {
    if (std::uncaught_exceptions() > exceptions_on_entry_) {
      try {
        pimpl_->writeUnlock();
      } catch (const std::exception&) {
      }
      return;
    }
    pimpl_->writeUnlock();
  }
  ScopedWriteLock(const ScopedWriteLock&) = delete;
  ScopedWriteLock& operator=(const ScopedWriteLock&) = delete;

 private:
  SerialImpl* pimpl_;
  int exceptions_on_entry_ = std::uncaught_exceptions();
};

Serial::Serial(const std::string& port, uint32_t baudrate, Timeout timeout, bytesize_t bytesize,
               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : pimpl_(new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
  pimpl_->setTimeout(timeout);
}

Serial::~Serial() { delete pimpl_; }

void Serial::open() { pimpl_->open(); }

void Serial::close() { pimpl_->close(); }

bool Serial::isOpen() const { return pimpl_->isOpen(); }

size_t Serial::available() { return pimpl_->available(); }

bool Serial::waitReadable() {
  // A closed port has no descriptor to put into a select set.
  if (!pimpl_->isOpen()) throw PortNotOpenedException("Serial::waitReadable");
  return pimpl_->waitReadable(pimpl_->getTimeout().read_timeout_constant);
}

size_t Serial::read(uint8_t* buffer, size_t size) {
  ScopedReadLock lock(pimpl_);
  return pimpl_->read(buffer, size);
}

size_t Serial::read(std::vector<uint8_t>& buffer, size_t size) {
  ScopedReadLock lock(pimpl_);
  std::vector<uint8_t> received(size);
  const size_t count = pimpl_->read(received.data(), size);
  buffer.insert(buffer.end(), received.begin(), received.begin() + count);
  return count;
}

size_t Serial::read(std::string& buffer, size_t size) {
  ScopedReadLock lock(pimpl_);
  std::vector<uint8_t> received(size);
  const size_t count = pimpl_->read(received.data(), size);
  buffer.append(reinterpret_cast<const char*>(received.data()), count);
  return count;
}

std::string Serial::read(size_t size) {
  std::string buffer;
  read(buffer, size);
  return buffer;
}

namespace {

bool endsWith(const std::string& text, const std::string& eol) {
  return text.size() >= eol.size() && text.compare(text.size() - eol.size(), eol.size(), eol) == 0;
}

}  // namespace

// The line grows on the heap byte by byte, so a large size costs nothing
// until the bytes are really there.
size_t Serial::readline(std::string& buffer, size_t size, const std::string& eol) {
  ScopedReadLock lock(pimpl_);
  std::string line;
  while (line.size() < size) {
    uint8_t byte = 0;
    if (pimpl_->read(&byte, 1) == 0) break;
    line.push_back(static_cast<char>(byte));
    if (endsWith(line, eol)) break;
  }
  buffer += line;
  return line.size();
}

std::string Serial::readline(size_t size, const std::string& eol) {
  std::string buffer;
  readline(buffer, size, eol);
  return buffer;
}

std::vector<std::string> Serial::readlines(size_t size, const std::string& eol) {
  ScopedReadLock lock(pimpl_);
  std::vector<std::string> lines;
  std::string pending;
  size_t read_so_far = 0;
  while (read_so_far < size) {
    uint8_t byte = 0;
    if (pimpl_->read(&byte, 1) == 0) break;
    ++read_so_far;
    pending.push_back(static_cast<char>(byte));
    if (endsWith(pending, eol)) {
      lines.push_back(pending);
      pending.clear();
    }
  }
  // Bytes read are never dropped: a partial last line is a line too.
  if (!pending.empty()) lines.push_back(pending);
  return lines;
}

size_t Serial::write(const uint8_t* data, size_t size) {
  ScopedWriteLock lock(pimpl_);
  return pimpl_->write(data, size);
}

size_t Serial::write(const std::vector<uint8_t>& data) {
  ScopedWriteLock lock(pimpl_);
  return pimpl_->write(data.data(), data.size());
}

size_t Serial::write(const std::string& data) {
  ScopedWriteLock lock(pimpl_);
  return pimpl_->write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void Serial::setPort(const std::string& port) {
  ScopedReadLock read_lock(pimpl_);
  ScopedWriteLock write_lock(pimpl_);
  const bool was_open = pimpl_->isOpen();
  if (was_open) pimpl_->close();
  pimpl_->setPort(port);
  if (was_open) pimpl_->open();
}

std::string Serial::getPort() const { return pimpl_->getPort(); }

void Serial::setTimeout(const Timeout& timeout) { pimpl_->setTimeout(timeout); }

Timeout Serial::getTimeout() const { return pimpl_->getTimeout(); }

void Serial::flush() {
  ScopedReadLock read_lock(pimpl_);
  ScopedWriteLock write_lock(pimpl_);
  pimpl_->flush();
}

void Serial::flushInput() {
  ScopedReadLock lock(pimpl_);
  pimpl_->flushInput();
}

void Serial::flushOutput() {
  ScopedWriteLock lock(pimpl_);
  pimpl_->flushOutput();
}

void Serial::sendBreak(int duration) { pimpl_->sendBreak(duration); }

void Serial::setBreak(bool level) { pimpl_->setBreak(level); }

void Serial::setRTS(bool level) { pimpl_->setRTS(level); }

void Serial::setDTR(bool level) { pimpl_->setDTR(level); }

bool Serial::waitForChange() { return pimpl_->waitForChange(); }

bool Serial::getCTS() { return pimpl_->getCTS(); }

bool Serial::getDSR() { return pimpl_->getDSR(); }

bool Serial::getRI() { return pimpl_->getRI(); }

bool Serial::getCD() { return pimpl_->getCD(); }

}  // namespace serial
