#pragma once

#include <chrono>
#include <memory>

#include <spdlog/logger.h>

class modbus_client_t;

// Where the main thread is; the signal thread decides from it who ends the
// process (see service_shell.cpp).
enum class main_phase_t { starting, loading, serving, watching, stopping };

extern std::unique_ptr<modbus_client_t> service_client;
extern std::shared_ptr<spdlog::logger> service_logger;

// Installs the fault handlers, blocks the stop signals in this and every
// later thread and starts the one thread that takes them. Call first.
void install_signal_handling();

// The one way out of the process, on every path; always exit code 1.
[[noreturn]] void shutdown_and_exit();

// Asks the main thread to shut down, from a thread that must not do it
// itself because the shutdown joins it (the broker library's network
// thread); returns at once.
void request_shutdown();

// Moves the main thread on, unless a stop has been asked for meanwhile.
void enter_phase(main_phase_t phase);

// Sleeps up to the timeout; true as soon as a stop has been asked for.
bool wait_or_stop(std::chrono::milliseconds timeout);
