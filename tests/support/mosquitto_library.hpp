#pragma once

#include <gtest/gtest.h>
#include <mosquittopp.h>

namespace korvex_test {

// The broker library's process-wide set-up, once around a test program that
// makes clients of its own (the service does it in main).
class mosquitto_library_t : public ::testing::Environment {
 public:
  void SetUp() override { mosqpp::lib_init(); }
  void TearDown() override { mosqpp::lib_cleanup(); }
};

}  // namespace korvex_test
