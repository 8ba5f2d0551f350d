#include "core/exec_command.hpp"

#include <cstdio>
#include <memory>

std::string exec_command(const std::string& command) {
  std::string result;
  std::shared_ptr<FILE> pipe(popen(command.c_str(), "r"), [](FILE* stream) {
    if (stream != nullptr) pclose(stream);
  });
  if (!pipe) return result;
  char buffer[64];
  // Loop on fgets itself: on a read error it returns NULL without setting
  // EOF, and a loop on feof() would then never end.
  while (fgets(buffer, sizeof buffer, pipe.get()) != nullptr) {
    result.append(buffer);
  }
  return result;
}
