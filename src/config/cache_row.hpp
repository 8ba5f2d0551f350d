#pragma once

#include <algorithm>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Statement.h>

// A column of a cache query: where it comes from and the alias its readers
// name it by. Each subsystem keeps its aliases as named constants and builds
// its SELECT texts from them, so a column is renamed in one place.
struct cache_column_t {
  const char* source;
  const char* alias;
};

// "SELECT source AS alias, ..." in the given order.
inline std::string select_columns(std::initializer_list<cache_column_t> columns) {
  std::string text = "SELECT ";
  const char* separator = "";
  for (const auto& column : columns) {
    text.append(separator).append(column.source).append(" AS ").append(column.alias);
    separator = ", ";
  }
  return text;
}

// One result row of a cache query, copied out of its statement so it can be
// kept: the cache does not change once loaded, and a port that keeps its
// channels' rows reads a channel without any query. The accessors are named
// as the statement's own, so that code reading columns by alias reads a kept
// row or a positioned statement alike, with the same conversions.

// The column aliases of one query, shared by all rows copied from it.
class cache_columns_t {
 public:
  explicit cache_columns_t(SQLite::Statement& statement) {
    const int count = statement.getColumnCount();
    names.reserve(static_cast<std::size_t>(count));
    for (int index = 0; index < count; ++index) names.emplace_back(statement.getColumnName(index));
    // At most half full, so a lookup meets a free slot within a step or two.
    std::size_t capacity = 8;
    while (capacity < 2 * names.size()) capacity *= 2;
    slots.assign(capacity, -1);
    for (int index = 0; index < count; ++index) {
      const std::string& name = names[static_cast<std::size_t>(index)];
      std::size_t slot = slot_of(name);
      // A repeated alias names its first column.
      while (slots[slot] >= 0 && names[static_cast<std::size_t>(slots[slot])] != name) slot = next(slot);
      if (slots[slot] < 0) slots[slot] = index;
    }
  }
  cache_columns_t(const cache_columns_t&) = delete;
  cache_columns_t& operator=(const cache_columns_t&) = delete;

  int size() const { return static_cast<int>(names.size()); }
  // The statement's own message for an alias it does not have.
  int index_of(const char* alias) const {
    const std::string_view name(alias);
    for (std::size_t slot = slot_of(name);; slot = next(slot)) {
      const int index = slots[slot];
      if (index < 0) throw SQLite::Exception(std::string("Unknown column name: ") + alias);
      if (names[static_cast<std::size_t>(index)] == name) return index;
    }
  }

 private:
  // Every value a kept row gives is looked up by its alias, dozens a read:
  // aliases are short words, whose length and three letters tell them apart
  // well enough for far less than a full hash.
  std::size_t slot_of(std::string_view name) const {
    std::size_t mixed = name.size() * 131;
    if (!name.empty()) {
      mixed += static_cast<unsigned char>(name.front()) * 31u + static_cast<unsigned char>(name[name.size() / 2]) * 7u +
               static_cast<unsigned char>(name.back());
    }
    return mixed & (slots.size() - 1);
  }
  std::size_t next(std::size_t slot) const { return (slot + 1) & (slots.size() - 1); }

  std::vector<std::string> names;
  std::vector<int> slots;  // open addressing: a column index, or -1 for a free slot
};

// One value of a kept row. Numbers and text are taken with SQLite's own
// conversions when the row is copied.
class cache_cell_t {
 public:
  cache_cell_t() = default;
  explicit cache_cell_t(const SQLite::Column& column)
      : type(column.getType()),
        integer(column.getInt64()),
        real(column.getDouble()),
        text(column.getString()) {}

  bool isNull() const { return type == SQLite::Null; }
  int32_t getInt() const { return static_cast<int32_t>(integer); }
  uint32_t getUInt() const { return static_cast<uint32_t>(integer); }
  int64_t getInt64() const { return integer; }
  double getDouble() const { return real; }
  const std::string& getString() const { return text; }
  const void* getBlob() const { return isNull() ? nullptr : text.data(); }
  int getBytes() const { return static_cast<int>(text.size()); }

 private:
  int type = SQLite::Null;
  int64_t integer = 0;
  double real = 0;
  std::string text;  // TEXT and BLOB bytes, or the text SQLite gives a number
};

class cache_row_t {
 public:
  // Copies the row the statement stands on; throws as the statement does
  // when it stands on none.
  // Implicit: wherever a kept row is read, a positioned statement may stand.
  cache_row_t(SQLite::Statement& statement)
      : cache_row_t(statement, std::make_shared<cache_columns_t>(statement)) {}
  cache_row_t(SQLite::Statement& statement, std::shared_ptr<const cache_columns_t> shared_columns)
      : columns(std::move(shared_columns)) {
    int present = 0;
    for (int index = 0; index < columns->size(); ++index) present += statement.getColumn(index).isNull() ? 0 : 1;
    cells.reserve(static_cast<std::size_t>(present));
    for (int index = 0; index < columns->size(); ++index) {
      const auto column = statement.getColumn(index);
      // NULL columns are not stored: most of a channel's are NULL.
      if (!column.isNull()) cells.push_back({index, cache_cell_t(column)});
    }
  }

  const cache_cell_t& getColumn(const char* alias) const {
    const int index = columns->index_of(alias);
    const auto found = std::lower_bound(cells.begin(), cells.end(), index,
                                        [](const indexed_cell_t& cell, int wanted) { return cell.index < wanted; });
    return found != cells.end() && found->index == index ? found->cell : null_cell;
  }

 private:
  struct indexed_cell_t {
    int index;
    cache_cell_t cell;
  };

  inline static const cache_cell_t null_cell{};
  std::shared_ptr<const cache_columns_t> columns;
  std::vector<indexed_cell_t> cells;  // by column index
};
