#pragma once

#include <stdlib.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace korvex_test {

inline std::string read_file(const std::filesystem::path& path) {
  std::ostringstream content;
  content << std::ifstream(path, std::ios::binary).rdbuf();
  return content.str();
}

// A fresh folder under the system temp directory, removed with everything in
// it when the object goes away.
class temp_dir_t {
 public:
  temp_dir_t() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvex-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::system_error(errno, std::generic_category(), "mkdtemp");
    root = pattern;
  }
  ~temp_dir_t() {
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;

  const std::filesystem::path& path() const { return root; }

  // Writes a file below the folder (creating its folders) and returns its path.
  std::filesystem::path write(const std::filesystem::path& relative, const std::string& content) const {
    const auto path = root / relative;
    std::filesystem::create_directories(path.parent_path());
    if (!(std::ofstream(path, std::ios::binary | std::ios::trunc) << content)) {
      throw std::runtime_error("cannot write " + path.string());
    }
    return path;
  }

 private:
  std::filesystem::path root;
};

}  // namespace korvex_test
