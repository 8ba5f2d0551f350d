// The one way out of the process and the signal handling around it.
//
// Signals 2, 10 and 15 never run code inside a handler: they are blocked in
// every thread and taken by one signal thread. Where the main thread is
// decides who ends the process:
//  - loading the configuration (possibly waiting for the file, which cannot
//    be woken): the main thread is not inside the client, so the signal
//    thread shuts down itself;
//  - serving (the client keeps it until the stop): the signal thread makes
//    the client return and the main thread shuts down;
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

#include "core/constants.hpp"
#include "core/service_shell.hpp"
#include "mqtt/modbus_client.hpp"

std::unique_ptr<modbus_client_t> service_client;
std::shared_ptr<spdlog::logger> service_logger;

namespace {

std::atomic<bool> stop_requested{false};

// Guards main_phase and every use of service_client off the main thread.
std::mutex phase_mutex;
std::condition_variable stop_wake;
main_phase_t main_phase = main_phase_t::starting;

std::atomic<bool> shutdown_started{false};
std::thread::id main_thread_id;

// The closing line is written once, by the orderly path or by the deadline,
// and never cut off half-way by the other ending the process.
std::mutex closing_mutex;
bool closing_line_written = false;

// The last guard of every stop: whatever the orderly shutdown still waits on
// (a device read with a long timeout of its own, a library thread), the
// process is gone this long after the stop was asked for, well inside a
// service manager's stop timeout.
constexpr auto shutdown_deadline = std::chrono::milliseconds(1500);
std::once_flag shutdown_deadline_armed;

// Called with closing_mutex held.
void write_closing_line(spdlog::logger& logger) {
  if (closing_line_written) return;
  logger.info("{} версии {} : работа завершена", driver_info.first, driver_info.second);
  logger.flush();
  closing_line_written = true;
}

void arm_shutdown_deadline() {
  std::call_once(shutdown_deadline_armed, [] {
    // The logger is held here: the orderly path may be destroying the
    // logging registry when the deadline passes.
    std::thread([logger = spdlog::default_logger()] {
      std::this_thread::sleep_for(shutdown_deadline);
      std::lock_guard lock(closing_mutex);
      if (!closing_line_written) {
        logger->warn("Остановка не завершена за {} мсек : принудительный выход", shutdown_deadline.count());
      }
      write_closing_line(*logger);
      _exit(1);
    }).detach();
  });
}

const std::map<int, const char*> signal_descriptions = {
    {SIGINT, "Interactive attention signal"}, {SIGILL, "Illegal instruction"},
    {SIGABRT, "Abnormal termination"},        {SIGFPE, "Erroneous arithmetic operation"},
    {SIGUSR1, "User signal"},                 {SIGSEGV, "Invalid access to storage"},
    {SIGTERM, "Termination request"},
};

// Synchronous faults: nothing can be waited for on the faulting thread.
void on_fatal_signal(int number) {
  auto* logger = spdlog::default_logger_raw();
  logger->error("{} ({}) : завершение работы", signal_descriptions.at(number), number);
  logger->flush();
  _exit(1);
}

// Called with phase_mutex held and the stop recorded: makes the main thread
// carry the shutdown out where it is. While it loads the configuration it
// cannot be woken; it finds the request once the load is over.
void wake_main_thread_for_stop() {
  switch (main_phase) {
    case main_phase_t::serving:
      service_client->request_stop();
      break;
    case main_phase_t::watching:
      stop_wake.notify_all();
      break;
    case main_phase_t::loading:
    case main_phase_t::starting:
    case main_phase_t::stopping:
      break;
  }
}

void take_signals(sigset_t signals) {
  for (;;) {
    int number = 0;
    if (sigwait(&signals, &number) != 0) continue;
    spdlog::default_logger()->error("{} ({}) : завершение работы", signal_descriptions.at(number), number);
    // Armed at the signal itself: the main thread may be held in a step that
    // sees the request only once it is done (a connect to a silent host).
    arm_shutdown_deadline();
    std::unique_lock lock(phase_mutex);
    stop_requested = true;
    if (main_phase == main_phase_t::loading) {
      // Waiting for the configuration file may last for ever.
      lock.unlock();
      shutdown_and_exit();
    }
    wake_main_thread_for_stop();
  }
}

}  // namespace

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
  arm_shutdown_deadline();
  auto client = std::move(service_client);
  client.reset();
  mosqpp::lib_cleanup();
  {
    std::lock_guard lock(closing_mutex);
    write_closing_line(*spdlog::default_logger());
  }
  if (std::this_thread::get_id() == main_thread_id) std::exit(1);
  // The main thread may still be loading the configuration: the static
  // objects it uses must not be destroyed under it.
  _exit(1);
}


void install_signal_handling() {
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
}

void request_shutdown() {
  arm_shutdown_deadline();
  std::lock_guard lock(phase_mutex);
  stop_requested = true;
  wake_main_thread_for_stop();
}

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
