#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "config/cache_database.hpp"
#include "config/cache_row.hpp"
#include "support/process.hpp"
#include "support/temp_dir.hpp"

// A kept row answers every getter as the statement it was copied from did,
// for every storage class and for a column that is not there. The aliases
// pa_q, pb_q (and the absent pc_q) share their length and outer letters.
TEST(CacheRow, AKeptRowReadsAsItsStatement) {
  SQLite::Database database(":memory:");
  SQLite::Statement statement(database,
                              "SELECT 42 AS small, -7 AS negative, 5000000000 AS big, 2.75 AS real, 'text' AS text,"
                              " '12abc' AS numeric_text, x'00ff10' AS blob, NULL AS null_value, 1 AS pa_q, 2 AS pb_q");
  ASSERT_TRUE(statement.executeStep());
  const cache_row_t row(statement);
  for (const char* alias :
       {"small", "negative", "big", "real", "text", "numeric_text", "blob", "null_value", "pa_q", "pb_q"}) {
    SCOPED_TRACE(alias);
    const auto& kept = row.getColumn(alias);
    const auto column = statement.getColumn(alias);
    EXPECT_EQ(kept.isNull(), column.isNull());
    EXPECT_EQ(kept.getInt(), column.getInt());
    EXPECT_EQ(kept.getUInt(), column.getUInt());
    EXPECT_EQ(kept.getInt64(), column.getInt64());
    EXPECT_EQ(kept.getDouble(), column.getDouble());
    EXPECT_EQ(kept.getString(), column.getString());
    EXPECT_EQ(kept.getBytes(), column.getBytes());
  }
  for (const char* absent : {"absent", "pc_q", ""}) EXPECT_THROW(row.getColumn(absent), SQLite::Exception) << absent;
  statement.reset();
  EXPECT_THROW(cache_row_t{statement}, SQLite::Exception) << "a statement standing on no row";
}

// Whether the thread sleeps, as SQLite's busy handler does between its tries.
bool sleeping(pid_t thread) {
  std::ifstream state("/proc/self/task/" + std::to_string(thread) + "/syscall");
  long number = -1;
  state >> number;
  return number == SYS_clock_nanosleep || number == SYS_nanosleep;
}

// Without a busy timeout the second handle's write fails with "database is
// locked" and the update is lost. The commit comes only once the write has
// met the lock and sleeps in the busy wait.
TEST(CacheSchema, SecondHandleWaitsForAWriterInsteadOfFailing) {
  korvex_test::temp_dir_t dir;
  auto first = open_cache_database(dir.path() / "korvex.cache");
  create_cache_schema(*first);
  auto second = open_cache_database(dir.path() / "korvex.cache");
  first->exec("BEGIN IMMEDIATE; INSERT INTO Debounces (Value, Timer) VALUES (1, 0)");
  std::atomic<pid_t> writer = 0;
  std::atomic<bool> written = false;
  std::thread writing([&] {
    writer = gettid();
    EXPECT_NO_THROW(second->exec("UPDATE Debounces SET Timer = 5"));
    written = true;
  });
  EXPECT_TRUE(korvex_test::wait_until([&] { return written || (writer != 0 && sleeping(writer)); }));
  first->exec("COMMIT");
  writing.join();
  EXPECT_EQ(first->execAndGet("SELECT Timer FROM Debounces").getInt(), 5);
}
