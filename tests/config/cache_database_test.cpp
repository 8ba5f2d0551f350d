#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <thread>

#include <SQLiteCpp/SQLiteCpp.h>

#include "config/cache_database.hpp"
#include "support/temp_dir.hpp"

TEST(CacheSchema, CreatesTablesAndIndexesAsNamed) {
  korvex_test::temp_dir_t dir;
  auto database = open_cache_database(dir.path() / "korvex.cache");
  create_cache_schema(*database);
  std::set<std::string> tables, indexes;
  SQLite::Statement query(*database, "SELECT type, name FROM sqlite_master WHERE name NOT LIKE 'sqlite_%'");
  while (query.executeStep()) {
    (query.getColumn(0).getString() == "table" ? tables : indexes).insert(query.getColumn(1).getString());
  }
  EXPECT_EQ(tables, (std::set<std::string>{"System", "Connections", "Devices", "Classes", "Channels",
                                           "Debounces", "Errors"}));
  EXPECT_EQ(indexes, (std::set<std::string>{"IDX_DeviceCName", "IDX_DeviceTopic", "IDX_ClassName",
                                            "IDX_ChannelName", "IDX_ErrorCode"}));
  EXPECT_EQ(database->execAndGet("PRAGMA journal_mode").getString(), "off");
  EXPECT_EQ(database->execAndGet("PRAGMA foreign_keys").getInt(), 0);

  // Every loader statement prepares against the schema (a typo would throw).
  prepare_config_statements(*database);
  for (const auto& statement : config_statements) EXPECT_TRUE(statement);
  release_config_statements();
  for (const auto& statement : config_statements) EXPECT_FALSE(statement);
}

TEST(CacheSchema, QuotedTextBindsSafelyAndDefaultsApply) {
  korvex_test::temp_dir_t dir;
  auto database = open_cache_database(dir.path() / "korvex.cache");
  create_cache_schema(*database);
  prepare_config_statements(*database);
  const std::string evil = "it's \"quoted\"'); DROP TABLE Channels; --";
  auto& insert = fresh_config_statement(insert_connection);
  insert.bind(":name", evil);
  insert.bind(":type", "base.tcp");
  insert.bind(":rto", 500);
  insert.bind(":sto", 500);
  insert.bind(":poll_interval", 60);
  insert.bind(":poll_reconnect", 0);
  EXPECT_EQ(insert.exec(), 1);
  EXPECT_EQ(database->execAndGet("SELECT Name FROM Connections").getString(), evil);

  auto& count = fresh_config_statement(count_global_type);
  count.bind(":value_type", evil);
  EXPECT_EQ(database->execAndGet(count.getExpandedSQL()).getInt(), 0);
  auto& global = fresh_config_statement(insert_global_type);
  global.bind(":name", evil);
  global.bind(":regs_num", 1);
  global.bind(":bytes_num", 2);
  EXPECT_EQ(global.exec(), 1);
  auto& recount = fresh_config_statement(count_global_type);
  recount.bind(":value_type", evil);
  EXPECT_EQ(database->execAndGet(recount.getExpandedSQL()).getInt(), 1);
  EXPECT_EQ(database->execAndGet("SELECT COUNT(*) FROM sqlite_master WHERE name='Channels'").getInt(), 1);

  // A channel row inserted without scale or debounce stores NULLs; Prefix defaults to 1.
  database->exec("INSERT INTO Channels (ConnectionID, CName, Name, ValueType, RegAddr, ReadOnly, Inverted) "
                 "VALUES (1, 'c', 'n', 'u16', 0, 1, 0)");
  SQLite::Statement channel(*database, "SELECT Scale, Debounce, Prefix FROM Channels");
  ASSERT_TRUE(channel.executeStep());
  EXPECT_TRUE(channel.getColumn(0).isNull());
  EXPECT_TRUE(channel.getColumn(1).isNull());
  EXPECT_EQ(channel.getColumn(2).getInt(), 1);
  channel.reset();
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
