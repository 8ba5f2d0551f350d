// The process: options, the cache removal, the client, the configuration
// load, logging, the broker connection, serving the ports or the
// configuration watch, and the one way out, always with exit code 1.

#include <malloc.h>

#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>

#include <mosquittopp.h>
#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "core/config_watch.hpp"
#include "core/constants.hpp"
#include "core/logging_setup.hpp"
#include "core/service_options.hpp"
#include "core/service_shell.hpp"
#include "mqtt/modbus_client.hpp"
#include "mqtt/topics_table.hpp"

int main(int argc, char* argv[]) {
  // One allocation arena for all threads: with one per thread, the memory
  // the load frees stayed with the main thread while every port thread
  // grew an arena of its own beside it.
  mallopt(M_ARENA_MAX, 1);
  configure_cache_library();
  install_signal_handling();

  try {
    const auto cache_path = state_directory / cache_file_name;
    const auto options = parse_options(argc, argv, cache_path);
    std::filesystem::remove(cache_path);
    service_client = std::make_unique<modbus_client_t>(true);
    // Taken before the loading phase: from then on a signal may end the
    // process on the signal thread, which takes the client away meanwhile.
    const auto cache_database = service_client->database_handle();

    enter_phase(main_phase_t::loading);
    const auto settings =
        load_configuration(options.config_path, cache_database, options.is_debug, options.debug_fixed, build_topics_table);
    enter_phase(main_phase_t::starting);

    service_logger =
        set_up_logging(options.log_path, settings.max_size, settings.max_files, options.console, settings.is_debug);
    spdlog::info("{} версии {} : {} : {}", driver_info.first, driver_info.second, options.config_path.string(),
                 options.log_path.string());
    if (mosqpp::lib_init() != MOSQ_ERR_SUCCESS) throw std::runtime_error("Ошибка инициализации клиента mosquitto");
    // The same stop as a change of the configuration: the service manager
    // starts the gateway again, with a library that connects anew.
    service_client->on_broker_given_up(request_shutdown);
    service_client->connect(settings.url.c_str(), settings.port, settings.keep_alive);

    enter_phase(main_phase_t::serving);
    service_client->start();
    enter_phase(main_phase_t::watching);
    watch_configuration(options.config_path, wait_or_stop);
  } catch (const std::exception& error) {
    // Logged as data: configuration texts may hold braces.
    spdlog::default_logger()->error("{}", error.what());
  }
  shutdown_and_exit();
}
