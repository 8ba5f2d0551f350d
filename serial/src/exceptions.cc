#include <string.h>

#include <sstream>
#include <utility>

#include "serial/serial.h"

namespace serial {

SerialException::SerialException(const char* description)
    : e_what_(std::string("SerialException ") + description + " failed.") {}

const char* SerialException::what() const noexcept { return e_what_.c_str(); }

IOException::IOException(std::string file, int line, int errnum)
    : file_(std::move(file)), line_(line), errno_(errnum) {
  std::stringstream ss;
  ss << "IO Exception (" << errno_ << "): " << strerror(errnum) << ", file " << file_ << ", line "
     << line_ << ".";
  e_what_ = ss.str();
}

IOException::IOException(std::string file, int line, const char* description)
    : file_(std::move(file)), line_(line), errno_(0) {
  std::stringstream ss;
  ss << "IO Exception: " << description << ", file " << file_ << ", line " << line_ << ".";
  e_what_ = ss.str();
}

const char* IOException::what() const noexcept { return e_what_.c_str(); }

PortNotOpenedException::PortNotOpenedException(const char* description)
    : e_what_(std::string("PortNotOpenedException ") + description + " failed.") {}

const char* PortNotOpenedException::what() const noexcept { return e_what_.c_str(); }

}  // namespace serial
