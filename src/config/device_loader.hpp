#pragma once

#include <cstdint>
#include <string>

#include "config/json_access.hpp"

// Stores one device object as a Devices row. Returns false when the device
// is disabled; refusals are thrown and leave no row behind.
bool load_device(const int64_t& connection_id, const json& device, const json& parameters,
                 const std::string& default_codepage);
