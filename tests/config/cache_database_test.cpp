#include <chrono>
#include <stdexcept>
#include <string>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>
#include <gtest/gtest.h>

#include "config/cache_database.hpp"
#include "config/cache_row.hpp"
#include "config/configuration_loader.hpp"
#include "config/statement_use.hpp"
#include "mqtt/topics_table.hpp"
#include "support/temp_dir.hpp"

// The loader's counts take a name as bound, whatever quotes it holds.
TEST(CacheSchema, CountsTakeTheirBoundNamesAsTheyAre) {
  korvex_test::temp_dir_t dir;
  auto database = open_cache_database(dir.path() / "korvex.cache");
  create_cache_schema(*database);
  prepare_config_statements(*database);
  const std::string evil = "it's \"quoted\"'); DROP TABLE Channels; --";
  auto count = [&] {
    auto& statement = fresh_config_statement(count_global_type);
    statement.bind(":value_type", evil);
    return count_of(statement);
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

// A kept row answers every getter as the statement it was copied from did,
// for every storage class and for a column that is not there.
TEST(CacheRow, AKeptRowReadsAsItsStatement) {
  korvex_test::temp_dir_t dir;
  auto database = open_cache_database(dir.path() / "korvex.cache");
  SQLite::Statement statement(*database,
                              "SELECT 42 AS small, -7 AS negative, 5000000000 AS big, 2.75 AS real, 'text' AS text,"
                              " '12abc' AS numeric_text, x'00ff10' AS blob, NULL AS null_value");
  ASSERT_TRUE(statement.executeStep());
  const cache_row_t row(statement);
  for (const char* alias : {"small", "negative", "big", "real", "text", "numeric_text", "blob", "null_value"}) {
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
  EXPECT_THROW(row.getColumn("absent"), SQLite::Exception);
  statement.reset();
  EXPECT_THROW(cache_row_t{statement}, SQLite::Exception) << "a statement standing on no row";
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

// The load is one transaction; one that fails still ends it, committing what
// it wrote, so the file is left readable and writable by the next handle.
TEST(CacheSchema, AFailedLoadLeavesWhatItWroteAndNoLock) {
  korvex_test::temp_dir_t dir;
  const auto config = dir.write("korvex.json", R"({"ports": [
    {"connection": {"name": "good", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}},
     "devices": [{"name": "dev", "type": "mb-tcp", "sid": 1, "cname": "c"}],
     "parameters": [{"cname": "c", "config": {"channels": [{"name": "t", "value_type": "u16", "reg_type": "holding", "reg_addr": 1}]}}]},
    {"connection": {"name": "bad", "type": "base.tcp", "tcp": {"url": "127.0.0.1", "port": 502}}}]})");
  auto database = open_cache_database(dir.path() / "korvex.cache");
  EXPECT_THROW(load_configuration(config, database, false, true, build_topics_table), std::runtime_error);
  auto next = open_cache_database(dir.path() / "korvex.cache");
  next->setBusyTimeout(0);  // a lock left behind fails at once
  EXPECT_NO_THROW(next->exec("UPDATE Debounces SET Timer = 0"));
  EXPECT_EQ(next->execAndGet("SELECT group_concat(Name) FROM Connections").getString(), "good");
}
