#include <chrono>
#include <string>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "config/cache_database.hpp"
#include "support/temp_dir.hpp"

// The loader counts types with the bound values spelled out into the SQL text,
// so a quote in a name must stay inside its literal.
TEST(CacheSchema, QuotedTextInExpandedStatementsStaysText) {
  korvex_test::temp_dir_t dir;
  auto database = open_cache_database(dir.path() / "korvex.cache");
  create_cache_schema(*database);
  prepare_config_statements(*database);
  const std::string evil = "it's \"quoted\"'); DROP TABLE Channels; --";
  auto count = [&] {
    auto& statement = fresh_config_statement(count_global_type);
    statement.bind(":value_type", evil);
    return database->execAndGet(statement.getExpandedSQL()).getInt();
  };
  EXPECT_EQ(count(), 0);
  auto& insert = fresh_config_statement(insert_global_type);
  insert.bind(":name", evil);
  insert.bind(":regs_num", 1);
  insert.bind(":bytes_num", 2);
  EXPECT_EQ(insert.exec(), 1);
  EXPECT_EQ(count(), 1);
  EXPECT_EQ(database->execAndGet("SELECT COUNT(*) FROM sqlite_master WHERE name='Channels'").getInt(), 1);
  release_config_statements();
}

TEST(CacheSchema, SecondHandleWaitsForAWriterInsteadOfFailing) {
  korvex_test::temp_dir_t dir;
  const auto path = dir.path() / "korvex.cache";
  auto first = open_cache_database(path);
  create_cache_schema(*first);
  auto second = open_cache_database(path);
  first->exec("BEGIN IMMEDIATE");
  first->exec("INSERT INTO Debounces (Value, Timer) VALUES (1, 0)");
  std::thread releaser([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    first->exec("COMMIT");
  });
  // Without a busy timeout this write fails with "database is locked".
  EXPECT_NO_THROW(second->exec("UPDATE Debounces SET Timer = 5"));
  releaser.join();
  EXPECT_EQ(first->execAndGet("SELECT Timer FROM Debounces").getInt(), 5);
}
