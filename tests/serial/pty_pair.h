#pragma once

// A pseudo-terminal pair: the serial library opens the slave side by its
// path, the test plays the device on the master side.

#include <pty.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <string>

using Clock = std::chrono::steady_clock;

class PtyPair {
 public:
  PtyPair() {
    char name[256] = {};
    if (openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty");
    path_ = name;
  }
  ~PtyPair() {
    closeMaster();
    ::close(slave_);
  }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& path() const { return path_; }
  int master() const { return master_; }

  void send(const std::string& bytes) const {
    ASSERT_EQ(::write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Everything the port has sent so far, waiting until `count` bytes are in.
  std::string receive(size_t count) const {
    std::string received;
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (received.size() < count && Clock::now() < deadline) {
      char chunk[4096];
      const ssize_t n = ::read(master_, chunk, sizeof chunk);
      if (n > 0) received.append(chunk, static_cast<size_t>(n));
    }
    return received;
  }

  void closeMaster() {
    if (master_ != -1) ::close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};
