#pragma once

#include <chrono>
#include <filesystem>
#include <functional>

// Watches the configuration file once a second. Returns after logging
// "Перезапуск драйвера..." when the file was modified, closed after writing
// or deleted; after logging the error when inotify cannot be set up; and at
// once when wait_or_stop, which waits up to the given time and reports
// whether the service is stopping, says so.
void watch_configuration(const std::filesystem::path& config_path,
                         const std::function<bool(std::chrono::milliseconds)>& wait_or_stop);
