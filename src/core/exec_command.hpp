#pragma once

#include <string>

// Runs a shell command and returns everything it wrote to standard output,
// line ends included; the empty text when it could not be started.
std::string exec_command(const std::string& command);
