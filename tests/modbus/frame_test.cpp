// Frame transactions against a scripted device: request bytes, reply checks,
// exception messages from the cache database, and the frame factory.

#include <memory>
#include <stdexcept>

#include <SQLiteCpp/Exception.h>
#include <gtest/gtest.h>

#include "channel_rows.hpp"
#include "support/log_capture.hpp"
#include "modbus/crc16.hpp"
#include "modbus/frame_factory.hpp"
#include "script_connection.hpp"

namespace {

using bytes = modbus_vector_t;
using korvex_test::channel_rows_t;
using korvex_test::log_capture_t;
using korvex_test::script_connection_t;

bytes with_crc(bytes frame) {
  const uint16_t crc = modbus_crc16(frame.data(), frame.size());
  frame.push_back(static_cast<uint8_t>(crc));
  frame.push_back(static_cast<uint8_t>(crc >> 8));
  return frame;
}

bytes mbap(uint8_t unit, const bytes& pdu) {
  bytes frame{0x00, 0x01, 0x00, 0x00, 0x00, static_cast<uint8_t>(pdu.size() + 1), unit};
  frame.insert(frame.end(), pdu.begin(), pdu.end());
  return frame;
}

struct fixture_t {
  channel_rows_t rows;
  std::shared_ptr<script_connection_t> connection = std::make_shared<script_connection_t>();

  fixture_t() { connection->connection_id = rows.connection_id; }

  std::shared_ptr<SQLite::Statement> row(const korvex_test::device_settings_t& device,
                                         const korvex_test::channel_settings_t& channel) {
    const auto device_id = rows.add_device(device);
    const auto channel_id = rows.add_channel(device.cname, channel);
    return rows.row(device_id, channel_id);
  }

  bytes read(const std::shared_ptr<SQLite::Statement>& row) {
    return read_channel_registers(connection, rows.database, row,
                                  rows.class_size_statement(class_size_statement_text), "1::dev::value");
  }
  bool write(const std::shared_ptr<SQLite::Statement>& row, const bytes& data) {
    return write_channel_registers(connection, rows.database, row, data, "1::dev::value");
  }
};

TEST(FrameFactory, ChoosesTheFramingAndFunctionCodes) {
  const struct {
    const char* type;
    std::optional<std::string> model;
    const char* reg_type;
    std::optional<int> read_function;
    std::optional<int> write_function;
    const char* name;  // empty: refused with `error`
    int expected_read;
    int expected_write;
    const char* error;
  } rows[] = {
      {"mb-rtu", {}, "holding", {}, {}, "RTU : n", 3, 6, ""},
      {"mb-tcp", {}, "coil", {}, {}, "TCP : n", 1, 5, ""},
      {"mb-udp", {}, "input", {}, {}, "TCP : n", 4, 0, ""},
      {"mb-rtu", {}, "status", 65, {}, "RTU : n", 65, 0, ""},
      {"mb-tcp", {}, "holding", {}, 16, "TCP : n", 3, 16, ""},
      {"mb-tcp", std::string("valtec"), "holding", {}, {}, "VALTEC : n", 3, 6, ""},
      {"mb-rtu", std::string(""), "holding", {}, {}, "RTU : n", 3, 6, ""},
      {"mb-ascii", {}, "holding", {}, {}, "", 0, 0, "Неподдерживаемый тип фрейма"},
      {"mb-rtu", std::string("other"), "holding", {}, {}, "", 0, 0, "Неподдерживаемый тип фрейма"},
      {"mb-rtu", {}, "register", {}, {}, "", 0, 0, "register : неизвестный токен"},
      {"mb-serial", {}, "holding", {}, {}, "", 0, 0, "mb-serial : неизвестный токен"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.type) + " " + row.reg_type);
    fixture_t fixture;
    const auto statement = fixture.row({.type = row.type, .model = row.model},
                                       {.reg_type = row.reg_type,
                                        .read_function = row.read_function,
                                        .write_function = row.write_function});
    if (*row.name == '\0') {
      try {
        make_modbus_frame(fixture.connection, fixture.rows.database, statement, "n");
        ADD_FAILURE() << "not refused";
      } catch (const std::runtime_error& error) {
        EXPECT_STREQ(error.what(), row.error);
      }
      continue;
    }
    const auto frame = make_modbus_frame(fixture.connection, fixture.rows.database, statement, "n");
    EXPECT_EQ(frame->frame_name(), row.name);
    EXPECT_EQ(frame->read_function_code(), row.expected_read);
    EXPECT_EQ(frame->write_function_code(), row.expected_write);
  }
}

TEST(RtuFrame, ReadsAndWritesWithExactRequestsAndCheckedReplies) {
  const struct {
    const char* what;
    const char* value_type;
    const char* reg_type;
    std::optional<bytes> write_data;  // a write instead of a read
    bytes request;
    bytes reply;
    bytes value;  // read: expected data; write: {1} for success
  } rows[] = {
      {"u16", "u16", "holding", {}, with_crc({7, 0x03, 0, 10, 0, 1}), with_crc({7, 0x03, 2, 0x12, 0x34}), {0x12, 0x34}},
      {"u8 is the register's low byte", "u8", "holding", {}, with_crc({7, 0x03, 0, 10, 0, 1}),
       with_crc({7, 0x03, 2, 0x00, 0x7F}), {0x7F}},
      {"odd string", "str3", "input", {}, with_crc({7, 0x04, 0, 10, 0, 2}),
       with_crc({7, 0x04, 4, 'a', 'b', 'c', 0}), {'a', 'b', 'c'}},
      {"coil", "bit", "coil", {}, with_crc({7, 0x01, 0, 10, 0, 1}), with_crc({7, 0x01, 1, 0x01}), {0x01}},
      {"reply with a wrong byte count", "u16", "holding", {}, with_crc({7, 0x03, 0, 10, 0, 1}),
       with_crc({7, 0x03, 1, 0x12, 0x34}), {}},
      {"reply for another slave", "u16", "holding", {}, with_crc({7, 0x03, 0, 10, 0, 1}),
       with_crc({8, 0x03, 2, 0x12, 0x34}), {}},
      {"short reply", "u16", "holding", {}, with_crc({7, 0x03, 0, 10, 0, 1}), with_crc({7, 0x03, 2, 0x12}), {}},
      {"single register write", "u16", "holding", bytes{0x12, 0x34}, with_crc({7, 0x06, 0, 10, 0x12, 0x34}),
       with_crc({7, 0x06, 0, 10, 0x12, 0x34}), {1}},
      {"32-bit write goes out as function 16", "u32", "holding", bytes{1, 2, 3, 4},
       with_crc({7, 0x10, 0, 10, 0, 2, 4, 1, 2, 3, 4}), with_crc({7, 0x10, 0, 10, 0, 2}), {1}},
      {"function 16 reply with another quantity", "u32", "holding", bytes{1, 2, 3, 4},
       with_crc({7, 0x10, 0, 10, 0, 2, 4, 1, 2, 3, 4}), with_crc({7, 0x10, 0, 10, 0, 1}), {}},
      {"coil write", "bit", "coil", bytes{0xFF, 0x00}, with_crc({7, 0x05, 0, 10, 0xFF, 0}),
       with_crc({7, 0x05, 0, 10, 0xFF, 0}), {1}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fixture_t fixture;
    const auto statement =
        fixture.row({.type = "mb-rtu", .sid = 7}, {.value_type = row.value_type, .reg_type = row.reg_type, .reg_addr = 10});
    fixture.connection->replies.push_back(row.reply);
    if (row.write_data) {
      EXPECT_EQ(fixture.write(statement, *row.write_data), !row.value.empty());
    } else {
      EXPECT_EQ(fixture.read(statement), row.value);
    }
    ASSERT_EQ(fixture.connection->requests.size(), 1u);
    EXPECT_EQ(fixture.connection->requests[0], row.request);
  }
}

TEST(RtuFrame, CorruptCrcFailsWithComputedAndReceivedCrc) {
  fixture_t fixture;
  log_capture_t log;
  const auto statement = fixture.row({.type = "mb-rtu", .sid = 7}, {.reg_addr = 10});
  auto reply = with_crc({7, 0x03, 2, 0x12, 0x34});
  const uint16_t good = static_cast<uint16_t>(reply[5] | reply[6] << 8);
  reply[6] ^= 0x01;
  fixture.connection->replies.push_back(reply);
  EXPECT_TRUE(fixture.read(statement).empty());
  EXPECT_EQ(log.errors(), (std::vector<std::string>{
                              fmt::format("RTU : 1::dev::value : ошибка контрольной суммы : [{:04x} : {:04x}]", good,
                                          good ^ 0x0100),
                              "RTU : 1::dev::value : операция не выполнена"}));
}

TEST(RtuFrame, InputWaitingBeforeTheRequestIsDiscarded) {
  fixture_t fixture;
  const auto statement = fixture.row({.type = "mb-rtu", .sid = 7}, {.reg_addr = 10});
  // A late reply to an earlier request is still on the line.
  const auto late = with_crc({7, 0x03, 2, 0x99, 0x99});
  fixture.connection->pending.assign(late.begin(), late.end());
  fixture.connection->replies.push_back(with_crc({7, 0x03, 2, 0x12, 0x34}));
  EXPECT_EQ(fixture.read(statement), (bytes{0x12, 0x34}));

  // Writes too.
  fixture.connection->pending.assign(late.begin(), late.end());
  fixture.connection->replies.push_back(with_crc({7, 0x06, 0, 10, 0x00, 0x05}));
  EXPECT_TRUE(fixture.write(statement, {0x00, 0x05}));
}

TEST(Frames, ExceptionRepliesUseTheDeviceTextsThenTheBuiltInOnes) {
  const struct {
    const char* type;
    uint8_t code;
    const char* message;
  } rows[] = {
      {"mb-tcp", 2, "Регистр не существует"},  // from Errors
      {"mb-rtu", 2, "Регистр не существует"},
      {"mb-tcp", 3, "Значение, содержащееся в поле данных запроса, является недопустимой величиной"},
      {"mb-tcp", 9, ""},
      {"mb-rtu", 0, "Неизвестная ошибка"},
      {"mb-tcp", 12, "Неизвестная ошибка"},
      {"mb-rtu", 255, "Неизвестная ошибка"},
  };
  for (const auto& row : rows) {
    for (const bool write : {false, true}) {
      SCOPED_TRACE(std::string(row.type) + " " + std::to_string(row.code) + (write ? " write" : " read"));
      fixture_t fixture;
      log_capture_t log;
      fixture.rows.exec(fmt::format(
          "INSERT INTO Errors (ConnectionID, CName, Code, Message) VALUES ({0}, 'meter', 2, 'Регистр не "
          "существует'), ({0}, 'other', 3, 'Чужой текст')",
          fixture.rows.connection_id));
      const bool rtu = std::string(row.type) == "mb-rtu";
      const auto statement = fixture.row({.type = row.type, .sid = 4}, {.reg_addr = 10});
      const uint8_t function = write ? 0x86 : 0x83;
      // An exception reply's CRC is not looked at.
      fixture.connection->replies.push_back(rtu ? bytes{4, function, row.code, 0, 0} : mbap(4, {function, row.code}));
      if (write) {
        EXPECT_FALSE(fixture.write(statement, {0, 1}));
      } else {
        EXPECT_TRUE(fixture.read(statement).empty());
      }
      const std::string prefix = rtu ? "RTU : 1::dev::value" : "TCP : 1::dev::value";
      EXPECT_EQ(log.errors(),
                (std::vector<std::string>{fmt::format("{} : ошибка ({}) : {} ", prefix, row.code, row.message),
                                          prefix + " : операция не выполнена"}));
    }
  }
}

TEST(MbapFrame, FailedSendReadsNothing) {
  fixture_t fixture;
  log_capture_t log;
  const auto statement = fixture.row({.type = "mb-tcp"}, {.reg_addr = 10});
  fixture.connection->write_result = -1;
  EXPECT_TRUE(fixture.read(statement).empty());
  EXPECT_EQ(fixture.connection->reads, 0);
  EXPECT_EQ(log.errors(), std::vector<std::string>{"TCP : 1::dev::value : ошибка выполнения запроса : таймаут"});
}

TEST(MbapFrame, PatternRequestsReturnTheWholeValue) {
  fixture_t fixture;
  const bytes pattern{0x00, 0x20, 0x00, 0x02};
  const auto statement = fixture.row({.type = "mb-tcp", .sid = 3},
                                     {.value_type = "u32", .read_function = 0x41, .pattern = pattern});
  fixture.connection->replies.push_back(mbap(3, {0x41, 4, 1, 2, 3, 4}));
  EXPECT_EQ(fixture.read(statement), (bytes{1, 2, 3, 4}));
  EXPECT_EQ(fixture.connection->requests[0], mbap(3, {0x41, 0x00, 0x20, 0x00, 0x02}));
}

TEST(ValtecFrame, SerialNumberTravelsAndIsChecked) {
  const bytes serial{0xAA, 0xBB, 0xCC};
  const struct {
    const char* what;
    bytes serial;
    bytes reply;
    bytes value;
    const char* error;
  } rows[] = {
      {"own serial", serial, with_crc({9, 0x03, 0xAA, 0xBB, 0xCC, 2, 0x12, 0x34}), {0x12, 0x34}, nullptr},
      {"other serial", serial, with_crc({9, 0x03, 0xAA, 0xBB, 0xCD, 2, 0x12, 0x34}), {},
       "VALTEC : 1::dev::value : не совпадают серийные номера"},
      {"no serial", {}, with_crc({9, 0x03, 2, 0x56, 0x78}), {0x56, 0x78}, nullptr},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fixture_t fixture;
    log_capture_t log;
    const auto statement = fixture.row(
        {.type = "mb-rtu", .sid = 9, .model = "valtec", .extra = row.serial.empty() ? std::nullopt : std::optional(row.serial)},
        {.reg_addr = 10});
    fixture.connection->replies.push_back(row.reply);
    EXPECT_EQ(fixture.read(statement), row.value);
    bytes request{9, 0x03};
    request.insert(request.end(), row.serial.begin(), row.serial.end());
    request.insert(request.end(), {0, 10, 0, 1});
    EXPECT_EQ(fixture.connection->requests.at(0), with_crc(request));
    if (row.error) {
      EXPECT_EQ(log.errors(), std::vector<std::string>{row.error});
    }

    EXPECT_FALSE(fixture.write(statement, {0, 1}));
    EXPECT_EQ(fixture.connection->requests.size(), 1u);
  }
}

TEST(ChannelRead, CompositeSizeComesFromClassesWhateverTheParent) {
  fixture_t fixture;
  // "pair" was first met inside "outer", so its row carries that parent.
  fixture.rows.exec(fmt::format(
      "INSERT INTO Classes (ConnectionID, CName, Parent, Name, RegSize, ByteSize) VALUES ({0}, 'meter', NULL, "
      "'outer', 4, 8), ({0}, 'meter', 'outer', 'pair', 3, 5)",
      fixture.rows.connection_id));
  const auto statement = fixture.row({.type = "mb-tcp", .sid = 2}, {.value_type = "pair", .reg_addr = 100});
  fixture.connection->replies.push_back(mbap(2, {0x03, 6, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(fixture.read(statement), (bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(fixture.connection->requests[0], mbap(2, {0x03, 0, 100, 0, 3}));

  const auto unknown = fixture.row({.type = "mb-tcp", .sid = 2, .cname = "other"}, {.value_type = "pair"});
  EXPECT_THROW(fixture.read(unknown), SQLite::Exception);
  EXPECT_EQ(fixture.connection->requests.size(), 1u);
}

}  // namespace
