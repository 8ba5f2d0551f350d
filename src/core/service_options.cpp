#include "core/service_options.hpp"

#include <unistd.h>

service_options_t parse_options(int argc, char* argv[], const std::filesystem::path& cache_path) {
  service_options_t options;
  // A full rescan from the first argument, also when options were read before.
  optind = 0;
  for (int option; (option = getopt(argc, argv, "c:l:x:dv")) != -1;) {
    switch (option) {
      case 'c':
        if (optarg != nullptr) options.config_path = std::filesystem::path(optarg);
        break;
      case 'l':
        if (optarg != nullptr) options.log_path = std::filesystem::path(optarg);
        break;
      case 'x':
        std::filesystem::remove(cache_path);
        break;
      case 'd':
        options.is_debug = true;
        options.debug_fixed = true;
        break;
      case 'v':
        options.console = true;
        break;
      default:
        break;
    }
  }
  return options;
}
