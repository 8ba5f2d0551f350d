#include "config/cache_database.hpp"

#include <stdexcept>

#include <sqlite3.h>

#include "config/statement_use.hpp"

namespace {

const char* const pragma_text =
    "PRAGMA synchronous = OFF;PRAGMA journal_mode = OFF;PRAGMA foreign_keys = OFF;";

const char* const table_texts[] = {
    "CREATE TABLE System (  DriverVersion  TEXT NOT NULL,  ConfigFilePath TEXT NOT NULL,"
    "  ConfigFileMD5  TEXT NOT NULL,  MqttURL        TEXT NOT NULL,  MqttPort       UINT NOT NULL,"
    "  LogFile        TEXT NOT NULL,  LogSize        UINT NOT NULL,  LogDebug       INTEGER(1) NOT NULL);",

    "CREATE TABLE Connections(  ROWID         INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    "  Name          TEXT NOT NULL,  Type          TEXT NOT NULL,  RTO           INTEGER NOT NULL,"
    "  STO           INTEGER NOT NULL,  PollInterval  INTEGER NOT NULL,"
    "  PollReconnect INTEGER(1) NOT NULL,  RSPort        TEXT NULL,  RSBaudRate    INTEGER NULL,"
    "  RSByteSize    INTEGER(1) NULL,  RSParity      INTEGER(1) NULL,  RSStopBits    INTEGER(1) NULL,"
    "  RSFlowControl INTEGER(1) NULL,  NetHost       TEXT NULL,  NetPort       INTEGER NULL);",

    "CREATE TABLE Devices (  ROWID         INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    "  ConnectionID  INTEGER REFERENCES Connections (ROWID) NOT NULL,  Name          TEXT NOT NULL,"
    "  Type          TEXT NOT NULL,  SID           INTEGER NOT NULL,  PollDelay     INTEGER NOT NULL,"
    "  BatchPoll     INTEGER(1) NOT NULL,  CName         TEXT NOT NULL,  CodePage      TEXT NOT NULL,"
    "  RepeatOnError INTEGER NOT NULL,  UpdateOnWrite INTEGER(1) NOT NULL,  Topic         TEXT NOT NULL,"
    "  Model         TEXT NULL,  Extra         BLOB NULL);"
    "CREATE INDEX IDX_DeviceCName ON Devices (CName);CREATE INDEX IDX_DeviceTopic ON Devices (Topic);",

    "CREATE TABLE Classes (  ROWID         INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    "  ConnectionID  INTEGER REFERENCES Connections (ROWID) NULL,"
    "  CName         TEXT REFERENCES Devices (CName) NULL,  Parent        TEXT REFERENCES Classes (Name) NULL,"
    "  Name          TEXT NOT NULL,  RegSize       INTEGER NOT NULL,  ByteSize      INTEGER NOT NULL);"
    "CREATE INDEX IDX_ClassName ON Classes (Name);",

    "CREATE TABLE Channels (  ROWID         INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    "  ConnectionID  INTEGER REFERENCES Connections (ROWID) NOT NULL,"
    "  CName         TEXT REFERENCES Devices (CName) NOT NULL,"
    "  Parent        TEXT REFERENCES Channels (Name) NULL,  Name          TEXT NOT NULL,"
    "  ValueType     TEXT NOT NULL,  RegType       TEXT NULL,"
    "\tRegAddr       INTEGER NOT NULL,\tWordOrder     TEXT NULL,\tReadOnly      INTEGER(1) NOT NULL,"
    "\tScale         REAL NULL DEFAULT NULL,\tCorrection    INTEGER NULL,\tInverted      INTEGER(1) NOT NULL,"
    "\tUnit          TEXT NULL,\tErrorValue    TEXT NULL,\tMinValue      REAL NULL,\tMaxValue      REAL NULL,"
    "\tDebounce      INTEGER REFERENCES Debounces (ROWID) NULL,\tReadCondition TEXT NULL,"
    "\tWriteCondition TEXT NULL,  Prefix        INTEGER(1) NOT NULL DEFAULT 1,"
    "  ReadFunction  INTEGER(3) NULL,  WriteFunction INTEGER(3) NULL,  Pattern       BLOB NULL,"
    "  Format        TEXT NULL,  PollDelay     INTEGER(1) NULL);"
    "CREATE INDEX IDX_ChannelName ON Channels (Name);"
    // Bit fields and composite members are found by their parent within one
    // parameter set, for every channel when the Topics table is built: without
    // this index each lookup scanned the whole table.
    "CREATE INDEX IDX_ChannelParent ON Channels (ConnectionID, CName, Parent);",

    "CREATE TABLE Debounces (  ROWID         INTEGER PRIMARY KEY AUTOINCREMENT NOT NULL,"
    "  Value         INTEGER NOT NULL,  CurrentValue  TEXT NULL,  Timer         INTEGER NOT NULL);",

    "CREATE TABLE Errors (  ConnectionID  INTEGER REFERENCES Connections (ROWID) NOT NULL,"
    "  CName         TEXT REFERENCES Devices (CName) NOT NULL,  Code          INTEGER(3) NOT NULL,"
    "  Message       TEXT NOT NULL);"
    "CREATE INDEX IDX_ErrorCode ON Errors (Code);",
};

}  // namespace

const std::array<std::string, config_statement_count> config_statement_texts = {
    "SELECT COUNT(Name) FROM Classes  WHERE ConnectionID IS NULL AND CName IS NULL AND Parent IS NULL "
    "AND Name = :value_type",
    "SELECT COUNT(Name) FROM Classes  WHERE ConnectionID = :connection_id AND CName = :cname AND Name = "
    ":value_type",
    "INSERT INTO Errors (ConnectionID, CName, Code, Message)  VALUES (:connection_id, :cname, :code, "
    ":message)",
    "INSERT INTO Classes (Name, RegSize, ByteSize)  VALUES (:name, :regs_num, :bytes_num)",
    "INSERT INTO Classes (ConnectionID, CName, Parent, Name, RegSize, ByteSize)  VALUES (:connection_id, "
    ":cname, :parent, :name, :regs_num, :bytes_num)",
    "INSERT INTO Debounces (Value, Timer)  VALUES (:value, :timer)",
    "INSERT INTO Channels (ConnectionID, CName, Parent, Name, ValueType, RegAddr, WordOrder, ReadOnly, "
    "Inverted)  VALUES (:connection_id, :cname, :parent, :name, :value_type, :reg_addr, :word_order, "
    ":read_only, :inverted)",
    "INSERT INTO Channels (ConnectionID, CName, Parent, Name, ValueType, RegType, RegAddr, WordOrder, "
    "ReadOnly, Scale,                      Correction, Inverted, Unit, ErrorValue, MinValue, MaxValue, "
    "Debounce, ReadCondition, WriteCondition, Prefix, ReadFunction, WriteFunction, Pattern, Format, "
    "PollDelay)  VALUES (:connection_id, :cname, :parent, :name, :value_type, :reg_type, :reg_addr, "
    ":word_order, :read_only, :scale,          :correction, :inverted, :unit, :error_value, :min_value, "
    ":max_value, :debounce, :read_condition, :write_condition, :prefix, :read_function, :write_function, "
    ":pattern, :format, :poll_delay);",
    "INSERT INTO Devices (ConnectionID, Name, Type, SID, PollDelay, BatchPoll, CName, CodePage, "
    "RepeatOnError, UpdateOnWrite, Topic, Model, Extra)  VALUES (:connection_id, :name, :type, :sid, "
    ":poll_delay, :batch_poll, :cname, :codepage, :repeat_on_error, :update_on_write, :topic, :model, "
    ":extra)",
    "INSERT INTO Connections (Name, Type, RTO, STO, PollInterval, PollReconnect)VALUES (:name, :type, "
    ":rto, :sto, :poll_interval, :poll_reconnect)",
    std::string("SELECT ROWID AS device_id, CName AS ") + device_cname_column +
        " FROM Devices  WHERE ConnectionID = :connection_id",
    "SELECT ROWID FROM Devices  WHERE Topic = :topic",
};

const char* const serial_line_update_text =
    "UPDATE Connections SET    RSPort        = :port,    RSBaudRate    = :baud_rate,    RSByteSize    = "
    ":byte_size,    RSParity      = :parity,    RSStopBits    = :stop_bits,    RSFlowControl = :flow_control  "
    "WHERE    ROWID = :connection_id";
const char* const network_peer_update_text =
    "UPDATE Connections SET    NetHost = :host,    NetPort = :port  WHERE    ROWID = :connection_id";

std::array<std::shared_ptr<SQLite::Statement>, config_statement_count> config_statements;

void configure_cache_library() { sqlite3_config(SQLITE_CONFIG_PAGECACHE, nullptr, 0, 0); }

std::shared_ptr<SQLite::Database> open_cache_database(const std::filesystem::path& path, int flags) {
  auto database = std::make_shared<SQLite::Database>(path.string(), flags);
  database->setBusyTimeout(cache_busy_timeout_ms);
  return database;
}

void create_cache_schema(SQLite::Database& database) {
  database.exec(pragma_text);
  for (const char* text : table_texts) database.exec(text);
}

void prepare_config_statements(SQLite::Database& database) {
  for (std::size_t slot = 0; slot < config_statement_count; ++slot) {
    config_statements[slot] = std::make_shared<SQLite::Statement>(database, config_statement_texts[slot]);
  }
}

void release_config_statements() {
  for (auto& statement : config_statements) statement.reset();
}

SQLite::Statement& fresh_config_statement(config_statement_t slot) {
  auto& statement = config_statements.at(slot);
  if (!statement) throw std::logic_error("cache statements are not prepared");
  return fresh_statement(*statement);
}
