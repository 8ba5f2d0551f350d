#include "core/config_watch.hpp"

#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <spdlog/spdlog.h>

namespace {

constexpr uint32_t change_mask = IN_MODIFY | IN_CLOSE_WRITE | IN_DELETE_SELF;
constexpr std::size_t event_buffer_size = 816;

// True when any record in the bytes read is a change of the file.
bool has_change(const char* bytes, std::size_t length) {
  std::size_t offset = 0;
  while (offset + sizeof(inotify_event) <= length) {
    inotify_event event;
    std::memcpy(&event, bytes + offset, sizeof event);
    if ((event.mask & change_mask) != 0) return true;
    offset += sizeof(inotify_event) + event.len;
  }
  return false;
}

}  // namespace

void watch_configuration(const std::filesystem::path& config_path,
                         const std::function<bool(std::chrono::milliseconds)>& wait_or_stop) {
  // The descriptor is left open: the process ends right after the watch.
  const int watch_fd = inotify_init1(IN_NONBLOCK);
  if (watch_fd < 0) {
    spdlog::error("inotify subsystem initialization error!");
    return;
  }
  if (inotify_add_watch(watch_fd, config_path.c_str(), change_mask) < 0) {
    spdlog::error("inotify subsystem error: {}", std::strerror(errno));
    return;
  }
  if (wait_or_stop(std::chrono::milliseconds(0))) return;
  for (;;) {
    if (wait_or_stop(std::chrono::seconds(1))) return;
    alignas(inotify_event) char buffer[event_buffer_size];
    const ssize_t length = read(watch_fd, buffer, sizeof buffer);
    if (length > 0 && has_change(buffer, static_cast<std::size_t>(length))) {
      spdlog::info("Перезапуск драйвера...");
      return;
    }
  }
}
