#pragma once

#include <filesystem>
#include <string>

namespace korvex_test {

// A fresh folder under the system temp directory, removed with everything in
// it when the object goes away.
class temp_dir_t {
 public:
  temp_dir_t();
  ~temp_dir_t();
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const std::filesystem::path& path() const { return root; }

  // Writes a file below the folder (creating parent folders) and returns its path.
  std::filesystem::path write(const std::filesystem::path& relative, const std::string& content) const;

 private:
  std::filesystem::path root;
};

std::string read_file(const std::filesystem::path& path);

}  // namespace korvex_test
