#pragma once

#include <cstdint>

#include <SQLiteCpp/Column.h>
#include <SQLiteCpp/Statement.h>

// A statement left stepped keeps its read snapshot or lock open on the cache
// file, which other handles then wait for; every use therefore resets it as
// soon as its result has been taken, on the error path too.
class statement_reset_guard_t {
 public:
  explicit statement_reset_guard_t(SQLite::Statement& statement) : statement(statement) {}
  ~statement_reset_guard_t() { statement.tryReset(); }
  statement_reset_guard_t(const statement_reset_guard_t&) = delete;
  statement_reset_guard_t& operator=(const statement_reset_guard_t&) = delete;

 private:
  SQLite::Statement& statement;
};

// A statement ready for its next use: reset and cleared of its bindings.
inline SQLite::Statement& fresh_statement(SQLite::Statement& statement) {
  statement.reset();
  statement.clearBindings();
  return statement;
}

// Runs an INSERT or UPDATE and returns the number of changed rows.
inline int exec_and_reset(SQLite::Statement& statement) {
  statement_reset_guard_t guard(statement);
  return statement.exec();
}

// The single number a COUNT statement gives for its bindings.
inline int64_t count_of(SQLite::Statement& count) {
  statement_reset_guard_t guard(count);
  count.executeStep();
  return count.getColumn(0).getInt64();
}
