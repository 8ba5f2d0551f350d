// The process shell: options, the cache removal, the client, the
// configuration load, logging, the broker connection, the publish loop or
// the configuration watch, and the one way out, always with exit code 1.
//
// Signals 2, 10 and 15 never run code inside a handler: they are blocked in
// every thread and taken by one signal thread. Where the main thread is
// decides who ends the process:
//  - loading the configuration (possibly waiting for the file, which cannot
//    be woken): the main thread is not inside the client, so the signal
//    thread shuts down itself;
//  - serving (the publish loop): the signal thread makes the loop return and
//    the main thread shuts down;
//  - watching: the signal thread wakes the watch and the main thread shuts
//    down;
//  - starting (between those steps): the main thread finds the request at
//    its next step.

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <mosquittopp.h>
#include <spdlog/spdlog.h>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"
#include "core/config_watch.hpp"
#include "core/constants.hpp"
#include "core/logging_setup.hpp"
#include "core/service_options.hpp"
#include "mqtt/modbus_client.hpp"

namespace {

enum class main_phase_t { starting, loading, serving, watching, stopping };

std::unique_ptr<modbus_client_t> service_client;
std::shared_ptr<spdlog::logger> service_logger;
std::atomic<bool> stop_requested{false};

// Guards main_phase and every use of service_client off the main thread.
std::mutex phase_mutex;
std::condition_variable stop_wake;
main_phase_t main_phase = main_phase_t::starting;

std::atomic<bool> shutdown_started{false};
std::thread::id main_thread_id;

const std::map<int, const char*> signal_descriptions = {
    {SIGINT, "Interactive attention signal"}, {SIGILL, "Illegal instruction"},
    {SIGABRT, "Abnormal termination"},        {SIGFPE, "Erroneous arithmetic operation"},
    {SIGUSR1, "User signal"},                 {SIGSEGV, "Invalid access to storage"},
    {SIGTERM, "Termination request"},
};

[[noreturn]] void shutdown_and_exit() {
  {
    std::lock_guard lock(phase_mutex);
    stop_requested = true;
    main_phase = main_phase_t::stopping;
  }
  if (shutdown_started.exchange(true)) {
    // Another thread is already ending the process.
    for (;;) pause();
  }
  auto client = std::move(service_client);
  client.reset();
  mosqpp::lib_cleanup();
  auto logger = spdlog::default_logger();
  logger->info("{} версии {} : работа завершена", driver_info.first, driver_info.second);
  logger->flush();
  if (std::this_thread::get_id() == main_thread_id) std::exit(1);
  // The main thread may still be loading the configuration: the static
  // objects it uses must not be destroyed under it.
  _exit(1);
}

// Synchronous faults: nothing can be waited for on the faulting thread.
void on_fatal_signal(int number) {
  auto* logger = spdlog::default_logger_raw();
  logger->error("{} ({}) : завершение работы", signal_descriptions.at(number), number);
  logger->flush();
  _exit(1);
}

void take_signals(sigset_t signals) {
  for (;;) {
    int number = 0;
    if (sigwait(&signals, &number) != 0) continue;
    spdlog::default_logger()->error("{} ({}) : завершение работы", signal_descriptions.at(number), number);
    std::unique_lock lock(phase_mutex);
    stop_requested = true;
    switch (main_phase) {
      case main_phase_t::loading:
        lock.unlock();
        shutdown_and_exit();
      case main_phase_t::serving:
        service_client->request_stop();
        break;
      case main_phase_t::watching:
        stop_wake.notify_all();
        break;
      case main_phase_t::starting:
      case main_phase_t::stopping:
        break;
    }
  }
}

// Moves the main thread on, unless a stop has been asked for meanwhile.
void enter_phase(main_phase_t phase) {
  std::unique_lock lock(phase_mutex);
  if (stop_requested) {
    lock.unlock();
    shutdown_and_exit();
  }
  main_phase = phase;
}

bool wait_or_stop(std::chrono::milliseconds timeout) {
  std::unique_lock lock(phase_mutex);
  return stop_wake.wait_for(lock, timeout, [] { return stop_requested.load(); });
}

}  // namespace

int main(int argc, char* argv[]) {
  main_thread_id = std::this_thread::get_id();
  for (int number : {SIGILL, SIGABRT, SIGFPE, SIGSEGV}) signal(number, on_fatal_signal);
  // Blocked before any thread starts, so every later thread inherits it.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  for (int number : {SIGINT, SIGUSR1, SIGTERM}) {
    // An inherited "ignore" (a background job of a script) would discard
    // the signal before the signal thread could take it.
    signal(number, SIG_DFL);
    sigaddset(&stop_signals, number);
  }
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  std::thread(take_signals, stop_signals).detach();

  // Held here until the process ends: a load that fails half-way leaves its
  // statements prepared, and the database must not close under them.
  std::shared_ptr<SQLite::Database> loaded_database;
  try {
    const auto cache_path = state_directory / cache_file_name;
    const auto options = parse_options(argc, argv, cache_path);
    std::filesystem::remove(cache_path);
    service_client = std::make_unique<modbus_client_t>(true);

    loaded_database = service_client->database_handle();
    enter_phase(main_phase_t::loading);
    const auto settings =
        load_configuration(options.config_path, loaded_database, options.is_debug, options.debug_fixed);
    enter_phase(main_phase_t::starting);

    service_logger =
        set_up_logging(options.log_path, settings.max_size, settings.max_files, options.console, settings.is_debug);
    spdlog::info("{} версии {} : {} : {}", driver_info.first, driver_info.second, options.config_path.string(),
                 options.log_path.string());
    if (mosqpp::lib_init() != MOSQ_ERR_SUCCESS) throw std::runtime_error("Ошибка инициализации клиента mosquitto");
    service_client->connect(settings.url.c_str(), settings.port, settings.keep_alive);

    enter_phase(main_phase_t::serving);
    service_client->start();
    enter_phase(main_phase_t::watching);
    watch_configuration(options.config_path, wait_or_stop);
  } catch (const std::exception& error) {
    // Logged as data: configuration texts may hold braces.
    spdlog::default_logger()->error("{}", error.what());
    // Those statements go before the client closes the database.
    release_config_statements();
  }
  loaded_database.reset();
  shutdown_and_exit();
}
