#pragma once

#include <cstdint>

// The Russian form of a noun after a count: `one` after 1, 21, 101...,
// `few` after 2-4, 22-24..., `many` after 0, 5-20, 25-30, 111...
const char* plural_form(uint64_t count, const char* one, const char* few, const char* many);
