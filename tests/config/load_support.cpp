#include "load_support.hpp"

#include <cstdio>

#include <SQLiteCpp/Statement.h>
#include <fmt/format.h>

#include "config/cache_database.hpp"
#include "config/configuration_loader.hpp"

namespace korvex_test {

std::string with_data_dir(std::string text) {
  const std::string marker = "@DATA@";
  for (auto at = text.find(marker); at != std::string::npos; at = text.find(marker, at)) {
    text.replace(at, marker.size(), KORVEX_TEST_DATA_DIR);
  }
  return text;
}

std::unique_ptr<loaded_config_t> load_config_text(const std::string& text, bool is_debug, bool debug_fixed) {
  auto loaded = std::make_unique<loaded_config_t>();
  loaded->config_path = loaded->dir.write("korvex.json", with_data_dir(text));
  loaded->database = open_cache_database(loaded->dir.path() / "korvex.cache");
  loaded->settings = load_configuration(loaded->config_path, loaded->database, is_debug, debug_fixed);
  return loaded;
}

nlohmann::json dump_table(SQLite::Database& database, const std::string& table) {
  SQLite::Statement query(database, "SELECT * FROM " + table + " ORDER BY rowid");
  nlohmann::json rows = nlohmann::json::array();
  while (query.executeStep()) {
    nlohmann::json row = nlohmann::json::array();
    for (int index = 0; index < query.getColumnCount(); ++index) {
      const auto column = query.getColumn(index);
      if (column.isNull()) {
        row.push_back(nullptr);
      } else if (column.isInteger()) {
        row.push_back(column.getInt64());
      } else if (column.isFloat()) {
        row.push_back(column.getDouble());
      } else if (column.isBlob()) {
        const auto* bytes = static_cast<const unsigned char*>(column.getBlob());
        std::string hex = "blob:";
        for (int at = 0; at < column.getBytes(); ++at) hex += fmt::format("{:02x}", bytes[at]);
        row.push_back(hex);
      } else {
        row.push_back(column.getString());
      }
    }
    rows.push_back(row);
  }
  return rows;
}

std::string system_charset_for_test() {
  std::string output;
  if (FILE* pipe = popen("locale -k charmap", "r")) {
    char buffer[256];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) output += buffer;
    pclose(pipe);
  }
  const auto equals = output.rfind('=');
  std::string charset = equals == std::string::npos ? output : output.substr(equals + 1);
  std::erase(charset, '"');
  return charset;
}

}  // namespace korvex_test
