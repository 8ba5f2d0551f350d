// Wire formats and frame transactions against a scripted device: request
// bytes, reply checks, exception messages from the cache database, and the
// frame factory.

#include <cstring>
#include <stdexcept>

#include <SQLiteCpp/Exception.h>
#include <gtest/gtest.h>

#include "channel_rows.hpp"
#include "support/log_capture.hpp"
#include "modbus/crc16.hpp"
#include "modbus/frame.hpp"
#include "script_connection.hpp"

namespace {

using bytes = modbus_vector_t;
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

struct fixture_t : korvex_test::channel_rows_t {
  std::shared_ptr<script_connection_t> script = std::make_shared<script_connection_t>();
  fixture_t() {
    script->connection_id = connection_id;
    connection = script;
  }
};

TEST(Crc16, CheckValueAndByteOrderOnTheWire) {
  const char* check = "123456789";
  EXPECT_EQ(modbus_crc16(reinterpret_cast<const uint8_t*>(check), std::strlen(check)), 0x4B37);
  // A known request: the CRC goes out low byte first.
  EXPECT_EQ(modbus_rtu_frame_header_t(0x11).build({0x03, 0x00, 0x6B, 0x00, 0x03}, "t"),
            (bytes{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}));
}

bytes mbap_reply(uint16_t tid, uint16_t pid, uint16_t len, uint8_t unit, const bytes& pdu) {
  bytes frame{static_cast<uint8_t>(tid >> 8), static_cast<uint8_t>(tid), static_cast<uint8_t>(pid >> 8),
              static_cast<uint8_t>(pid), static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len), unit};
  frame.insert(frame.end(), pdu.begin(), pdu.end());
  return frame;
}

bytes operator+(bytes left, const bytes& right) {
  left.insert(left.end(), right.begin(), right.end());
  return left;
}

// The reply to a read of one register by function 3, found among what else
// a line or a gateway sends: what check_response leaves for the frame to
// read (RTU: PDU and CRC; MBAP: the PDU its length announces) and the
// errors it logs.
TEST(FrameHeader, FindsTheReplyToItsRequest) {
  const bytes pdu{0x03, 0x02, 0x12, 0x34};
  const bytes rtu = with_crc(bytes{5} + pdu);
  const bytes rtu_body(rtu.begin() + 1, rtu.end());
  bytes other_slave = with_crc({6, 0x03, 0x02, 0x12, 0x34});
  bytes noise_shaped_like_a_reply = other_slave;
  noise_shaped_like_a_reply.back() ^= 0x01;
  const bytes ours = mbap_reply(0xABCD, 0, 5, 9, pdu);
  const std::vector<std::string> none;
  const struct {
    const char* what;
    bool mbap;
    bytes line;
    std::optional<bytes> body;
    std::vector<std::string> errors;
    std::deque<uint8_t> left = {};  // on the line afterwards
  } rows[] = {
      {"rtu", false, rtu, rtu_body, none},
      {"rtu after noise", false, bytes{0xFF, 0x00, 0x55} + rtu, rtu_body, none},
      {"rtu after another slave's reply fails", false, other_slave + rtu, std::nullopt, {"t : SlaveID не совпадает"}},
      {"rtu after bytes of a reply's shape whose crc is wrong", false, noise_shaped_like_a_reply + rtu, rtu_body,
       none},
      {"rtu exception of another slave fails", false, with_crc({6, 0x83, 0x02}), std::nullopt,
       {"t : SlaveID не совпадает"}},
      {"rtu bytes after the reply are waited out", false, rtu + bytes{0x05, 0x03}, rtu_body, none},
      {"rtu exception, whatever its crc", false, {5, 0x83, 0x02, 0, 0}, bytes{0x83, 0x02, 0, 0}, none},
      {"rtu reply to another function", false, with_crc({5, 0x04, 0x02, 0x12, 0x34}), std::nullopt,
       {"t : операция не выполнена"}},
      {"rtu silence", false, {}, std::nullopt, {"t : ответ не получен"}},
      {"mbap", true, ours, pdu, none},
      {"mbap from a device that does not echo the id", true, mbap_reply(0, 0, 5, 9, pdu), pdu, none},
      {"mbap after a stray header", true, mbap_reply(0x0005, 0, 65535, 9, {}) + ours, pdu, none},
      {"mbap after a header of another protocol", true, mbap_reply(0xABCD, 1, 5, 9, {}) + ours, pdu, none},
      {"mbap after late replies to earlier requests", true,
       mbap_reply(0xABCB, 0, 3, 9, {0x03, 0x00}) + mbap_reply(0xABCC, 0, 2, 9, {0x83}) + ours, pdu, none},
      {"mbap exception is read by its length", true, mbap_reply(0xABCD, 0, 3, 9, {0x83, 0x02}) + bytes{0xEE},
       bytes{0x83, 0x02}, none, {0xEE}},
      {"mbap of another unit", true, mbap_reply(0xABCD, 0, 5, 8, pdu), std::nullopt, {"t : UnitID не совпадает"},
       {0x03, 0x02, 0x12, 0x34}},
      {"mbap cut short", true, {0xAB, 0xCD, 0, 0, 0}, std::nullopt, {"t : ответ не получен"}},
      {"mbap behind too many stray headers", true,
       mbap_reply(1, 0, 0, 9, {}) + mbap_reply(2, 0, 1, 9, {}) + mbap_reply(3, 0, 255, 9, {}) +
           mbap_reply(4, 7, 5, 9, {}) + ours,
       std::nullopt, {"t : ответ не получен"}, std::deque<uint8_t>(ours.begin(), ours.end())},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    auto connection = std::make_shared<script_connection_t>();
    const std::shared_ptr<connection_t> base = connection;
    std::unique_ptr<modbus_frame_header_t> header;
    if (row.mbap) {
      // Two earlier requests that got no reply in time.
      for (const uint16_t tid : {0xABCB, 0xABCC}) {
        EXPECT_FALSE(modbus_tcp_frame_header_t(tid, 0, 0, 9).check_response(base, "t", false, 0x03, 4));
      }
      header = std::make_unique<modbus_tcp_frame_header_t>(0xABCD, 0, 0, 9);
    } else {
      header = std::make_unique<modbus_rtu_frame_header_t>(5);
    }
    connection->pending.assign(row.line.begin(), row.line.end());
    log_capture_t log;
    std::optional<bytes> body;
    if (header->check_response(base, "t", false, 0x03, 4)) {
      body.emplace(header->body_size());
      body->resize(static_cast<std::size_t>(connection->read(body->data(), body->size())));
    }
    EXPECT_EQ(body, row.body);
    EXPECT_EQ(log.errors(), row.errors);
    EXPECT_EQ(connection->pending, row.left);
  }
}

// Asked for, the MBAP fields of the reply are logged as they came.
TEST(FrameHeader, VerboseMbapCheckLogsTheReplyFields) {
  for (const bool verbose : {false, true}) {
    auto connection = std::make_shared<script_connection_t>();
    const bytes reply = mbap_reply(0xABCD, 0, 5, 9, {0x03, 0x02, 0x12, 0x34});
    connection->pending.assign(reply.begin(), reply.end());
    log_capture_t log;
    EXPECT_TRUE(modbus_tcp_frame_header_t(0xABCD, 0, 0, 9).check_response(connection, "t", verbose, 0x03, 4));
    EXPECT_EQ(log.count("t : TID abcd : PID 0000 : LEN 5"), verbose ? 1 : 0);
  }
}

TEST(WriteRequest, SingleAndMultipleLayouts) {
  const struct {
    uint8_t function;
    bytes data;
    bytes pdu;
    std::size_t reply_size;
    std::optional<bytes> required_reply;
  } rows[] = {
      {6, {0x12, 0x34}, {0x06, 0x00, 0x0A, 0x12, 0x34}, 5, bytes{0x06, 0x00, 0x0A, 0x12, 0x34}},
      // 32 bits cannot go by function 6.
      {6, {1, 2, 3, 4}, {0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 1, 2, 3, 4}, 5, bytes{0x10, 0x00, 0x0A, 0x00, 0x02}},
      {16, {0x00, 0x07}, {0x10, 0x00, 0x0A, 0x00, 0x01, 0x02, 0x00, 0x07}, 5, bytes{0x10, 0x00, 0x0A, 0x00, 0x01}},
      {15, {0xFF, 0x00}, {0x0F, 0x00, 0x0A, 0x00, 0x01, 0x01, 0x01}, 5, bytes{0x0F, 0x00, 0x0A, 0x00, 0x01}},
      {15, {0x00, 0x00}, {0x0F, 0x00, 0x0A, 0x00, 0x01, 0x01, 0x00}, 5, bytes{0x0F, 0x00, 0x0A, 0x00, 0x01}},
      {65, {1, 2, 3, 4}, {0x41, 0x00, 0x0A, 1, 2, 3, 4}, 7, std::nullopt},  // own function: as it is
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(testing::PrintToString(row.pdu));
    const auto request = make_write_request(row.function, 10, row.data);
    EXPECT_EQ(request.pdu, row.pdu);
    EXPECT_EQ(request.reply_size, row.reply_size);
    EXPECT_EQ(request.required_reply, row.required_reply);
  }
}

TEST(ReadReply, SizedByFunctionAndCutToTheValue) {
  const struct {
    const char* what;
    uint8_t function;
    value_size_t size;
    bool pattern;
    uint16_t data_size;
    bytes body;  // byte count, then data
    std::optional<bytes> value;
  } rows[] = {
      {"u8 from a register is its low byte", 3, {1, 1}, false, 2, {2, 0xAA, 0xBB}, bytes{0xBB}},
      {"u16", 4, {2, 1}, false, 2, {2, 0x12, 0x34}, bytes{0x12, 0x34}},
      {"odd string takes its leading bytes", 3, {5, 3}, false, 6, {6, 'a', 'b', 'c', 'd', 'e', 0},
       bytes{'a', 'b', 'c', 'd', 'e'}},
      {"coil", 1, {1, 1}, false, 1, {1, 0x01}, bytes{0x01}},
      {"coil reply too short for a 16-bit value", 1, {2, 1}, false, 1, {1, 0x01}, std::nullopt},
      {"byte count that disagrees", 3, {2, 1}, false, 2, {4, 0x12, 0x34}, std::nullopt},
      {"own function carries the value's size", 65, {3, 2}, false, 3, {9, 1, 2, 3}, bytes{1, 2, 3}},
      {"pattern carries the value's size", 3, {2, 1}, true, 2, {2, 0xAB, 0xCD}, bytes{0xAB, 0xCD}},
      {"u8 by pattern", 3, {1, 1}, true, 1, {1, 0x42}, bytes{0x42}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    const auto layout = read_reply_layout(row.function, row.size, row.pattern);
    EXPECT_EQ(layout.data_size, row.data_size);
    EXPECT_EQ(take_value_bytes(row.body.data(), layout, row.function, row.size), row.value);
  }
}

TEST(FrameFactory, ChoosesTheFramingAndFunctionCodes) {
  const struct {
    const char* type;
    std::optional<std::string> model;
    const char* reg_type;
    std::optional<int> read_function;
    std::optional<int> write_function;
    const char* expected;  // name, read and write function; or why it was refused
  } rows[] = {
      {"mb-rtu", {}, "holding", {}, {}, "RTU : n 3 6"},
      {"mb-tcp", {}, "coil", {}, {}, "TCP : n 1 5"},
      {"mb-udp", {}, "input", {}, {}, "TCP : n 4 0"},
      {"mb-rtu", {}, "status", 65, {}, "RTU : n 65 0"},
      {"mb-tcp", {}, "holding", {}, 16, "TCP : n 3 16"},
      {"mb-tcp", "valtec", "holding", {}, {}, "VALTEC : n 3 6"},
      {"mb-rtu", "", "holding", {}, {}, "RTU : n 3 6"},
      {"mb-ascii", {}, "holding", {}, {}, "Неподдерживаемый тип фрейма"},
      {"mb-rtu", "other", "holding", {}, {}, "Неподдерживаемый тип фрейма"},
      {"mb-rtu", {}, "register", {}, {}, "register : неизвестный токен"},
  };
  for (const auto& row : rows) {
    fixture_t fixture;
    const auto statement = fixture.row(
        {.type = row.type, .model = row.model},
        {.reg_type = row.reg_type, .read_function = row.read_function, .write_function = row.write_function});
    std::string made;
    try {
      const auto frame = make_modbus_frame(fixture.connection, fixture.database, *statement, "n");
      made = fmt::format("{} {} {}", frame->frame_name(), frame->read_function_code(), frame->write_function_code());
    } catch (const std::runtime_error& error) {
      made = error.what();
    }
    EXPECT_EQ(made, row.expected) << row.type << " " << row.reg_type;
  }
}

// Requests go out byte for byte; replies that do not answer them fail.
TEST(RtuFrame, ExactRequestsAndCheckedReplies) {
  const struct {
    const char* what;
    const char* value_type;
    std::optional<bytes> write_data;  // a write instead of a read
    bytes request;
    bytes reply;
    bytes value;  // read: expected data; write: {1} for success
  } rows[] = {
      {"u16", "u16", {}, {7, 0x03, 0, 10, 0, 1}, {7, 0x03, 2, 0x12, 0x34}, {0x12, 0x34}},
      {"reply with a wrong byte count", "u16", {}, {7, 0x03, 0, 10, 0, 1}, {7, 0x03, 1, 0x12, 0x34}, {}},
      {"reply for another slave", "u16", {}, {7, 0x03, 0, 10, 0, 1}, {8, 0x03, 2, 0x12, 0x34}, {}},
      {"short reply", "u16", {}, {7, 0x03, 0, 10, 0, 1}, {7, 0x03, 2, 0x12}, {}},
      {"single register write", "u16", bytes{0x12, 0x34}, {7, 0x06, 0, 10, 0x12, 0x34}, {7, 0x06, 0, 10, 0x12, 0x34},
       {1}},
      {"single register write echoing another address", "u16", bytes{0x04, 0xD2}, {7, 0x06, 0, 10, 0x04, 0xD2},
       {7, 0x06, 0xFA, 10, 0x04, 0xD2}, {}},
      {"single register write echoing another value", "u16", bytes{0x04, 0xD2}, {7, 0x06, 0, 10, 0x04, 0xD2},
       {7, 0x06, 0, 10, 0x04, 0xD3}, {}},
      {"32-bit write goes out as function 16", "u32", bytes{1, 2, 3, 4}, {7, 0x10, 0, 10, 0, 2, 4, 1, 2, 3, 4},
       {7, 0x10, 0, 10, 0, 2}, {1}},
      {"function 16 reply with another quantity", "u32", bytes{1, 2, 3, 4}, {7, 0x10, 0, 10, 0, 2, 4, 1, 2, 3, 4},
       {7, 0x10, 0, 10, 0, 1}, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    fixture_t fixture;
    const auto statement = fixture.row({.type = "mb-rtu", .sid = 7}, {.value_type = row.value_type, .reg_addr = 10});
    fixture.script->replies.push_back(with_crc(row.reply));
    if (row.write_data) {
      EXPECT_EQ(fixture.write(statement, *row.write_data), !row.value.empty());
    } else {
      EXPECT_EQ(fixture.read(statement), row.value);
    }
    ASSERT_EQ(fixture.script->requests.size(), 1u);
    EXPECT_EQ(fixture.script->requests[0], with_crc(row.request));
  }
}

TEST(RtuFrame, CorruptCrcFailsWithComputedAndReceivedCrc) {
  fixture_t fixture;
  log_capture_t log;
  const auto statement = fixture.row({.type = "mb-rtu", .sid = 7}, {.reg_addr = 10});
  auto reply = with_crc({7, 0x03, 2, 0x12, 0x34});
  const uint16_t good = static_cast<uint16_t>(reply[5] | reply[6] << 8);
  reply[6] ^= 0x01;
  fixture.script->replies.push_back(reply);
  EXPECT_TRUE(fixture.read(statement).empty());
  EXPECT_EQ(log.errors(), (std::vector<std::string>{
                              fmt::format("RTU : 1::dev::value : ошибка контрольной суммы : [{:04x} : {:04x}]", good,
                                          good ^ 0x0100),
                              "RTU : 1::dev::value : операция не выполнена"}));
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
      {"mb-rtu", 11, "Ведомого устройства нет в сети или от него нет ответа"},
      {"mb-tcp", 9, ""},
      {"mb-rtu", 0, "Неизвестная ошибка"},
      {"mb-tcp", 12, "Неизвестная ошибка"},
  };
  for (const auto& row : rows) {
    for (const bool write : {false, true}) {
      SCOPED_TRACE(std::string(row.type) + " " + std::to_string(row.code) + (write ? " write" : " read"));
      fixture_t fixture;
      log_capture_t log;
      fixture.exec(
          "INSERT INTO Errors (ConnectionID, CName, Code, Message) VALUES ({0}, 'meter', 2, 'Регистр не "
          "существует'), ({0}, 'other', 3, 'Чужой текст')");
      const bool rtu = std::string(row.type) == "mb-rtu";
      const auto statement = fixture.row({.type = row.type, .sid = 4}, {.reg_addr = 10});
      const uint8_t function = write ? 0x86 : 0x83;
      // An exception reply's CRC is not looked at.
      fixture.script->replies.push_back(rtu ? bytes{4, function, row.code, 0, 0} : mbap(4, {function, row.code}));
      EXPECT_TRUE(write ? !fixture.write(statement, {0, 1}) : fixture.read(statement).empty());
      const std::string prefix = rtu ? "RTU : 1::dev::value" : "TCP : 1::dev::value";
      EXPECT_EQ(log.errors(),
                (std::vector<std::string>{fmt::format("{} : ошибка ({}) : {} ", prefix, row.code, row.message),
                                          prefix + " : операция не выполнена"}));
    }
  }
}

TEST(Frames, HexDumpsHold16BytesALine) {
  fixture_t fixture;
  log_capture_t log;
  const auto statement = fixture.row({.type = "mb-tcp"}, {.value_type = "u64", .reg_addr = 10});
  fixture.script->replies.push_back(mbap(1, {0x10, 0, 10, 0, 4}));
  EXPECT_TRUE(fixture.write(statement, {1, 2, 3, 4, 5, 6, 7, 8}));
  const auto lines = log.lines();
  const auto request = std::find_if(lines.begin(), lines.end(),
                                    [](const std::string& line) { return line.find(" : запрос") != std::string::npos; });
  ASSERT_NE(request, lines.end());
  EXPECT_EQ(std::count(request->begin(), request->end(), '\n'), 2) << *request;  // 21 bytes
}

TEST(MbapFrame, FailedSendReadsNothing) {
  fixture_t fixture;
  log_capture_t log;
  const auto statement = fixture.row({.type = "mb-tcp"}, {.reg_addr = 10});
  fixture.script->write_result = -1;
  EXPECT_TRUE(fixture.read(statement).empty());
  EXPECT_EQ(fixture.script->reads, 0);
  EXPECT_EQ(log.errors(), std::vector<std::string>{"TCP : 1::dev::value : ошибка выполнения запроса : таймаут"});
}

TEST(MbapFrame, PatternRequestsReturnTheWholeValue) {
  fixture_t fixture;
  const auto statement = fixture.row({.type = "mb-tcp", .sid = 3},
                                     {.value_type = "u32", .read_function = 0x41, .pattern = bytes{0, 0x20, 0, 2}});
  fixture.script->replies.push_back(mbap(3, {0x41, 4, 1, 2, 3, 4}));
  EXPECT_EQ(fixture.read(statement), (bytes{1, 2, 3, 4}));
  EXPECT_EQ(fixture.script->requests[0], mbap(3, {0x41, 0x00, 0x20, 0x00, 0x02}));
}

TEST(ChannelRead, CompositeSizeComesFromClassesWhateverTheParent) {
  fixture_t fixture;
  // "pair" was first met inside "outer", so its row carries that parent.
  fixture.exec(
      "INSERT INTO Classes (ConnectionID, CName, Parent, Name, RegSize, ByteSize) VALUES ({0}, 'meter', NULL, "
      "'outer', 4, 8), ({0}, 'meter', 'outer', 'pair', 3, 5)");
  const auto statement = fixture.row({.type = "mb-tcp", .sid = 2}, {.value_type = "pair", .reg_addr = 100});
  fixture.script->replies.push_back(mbap(2, {0x03, 6, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(fixture.read(statement), (bytes{1, 2, 3, 4, 5}));
  EXPECT_EQ(fixture.script->requests[0], mbap(2, {0x03, 0, 100, 0, 3}));

  const auto unknown = fixture.row({.type = "mb-tcp", .sid = 2, .cname = "other"}, {.value_type = "pair"});
  EXPECT_THROW(fixture.read(unknown), SQLite::Exception);
  EXPECT_EQ(fixture.script->requests.size(), 1u);
}

}  // namespace
