#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "modbus/big_endian.hpp"
#include "modbus/crc16.hpp"
#include "modbus/frame.hpp"
#include "modbus/frame_header.hpp"
#include "script_connection.hpp"

namespace {

using korvex_test::script_connection_t;
using bytes = modbus_vector_t;

TEST(Crc16, CheckValueAndKnownFrames) {
  const char* check = "123456789";
  EXPECT_EQ(modbus_crc16(reinterpret_cast<const uint8_t*>(check), std::strlen(check)), 0x4B37);
  EXPECT_EQ(modbus_crc16(nullptr, 0), 0xFFFF);
  // Read one holding register at 0 from slave 1: the CRC goes out as 84 0A.
  const bytes request{0x01, 0x03, 0x00, 0x00, 0x00, 0x01};
  EXPECT_EQ(modbus_crc16(request.data(), request.size()), 0x0A84);
}

TEST(BigEndian, EveryWidthMostSignificantFirstAfterWhatWasThere) {
  bytes out;
  append_big_endian<uint8_t>(out, 0x7F);
  append_big_endian<uint16_t>(out, 0x1234);
  append_big_endian<int16_t>(out, -2);
  append_big_endian<uint32_t>(out, 0xA1B2C3D4);
  append_big_endian<int32_t>(out, -1);
  append_big_endian<float>(out, 1.0f);
  append_big_endian<uint64_t>(out, 1);
  append_big_endian<int64_t>(out, -256);
  append_big_endian<double>(out, 1.5);
  const bytes expected{0x7F, 0x12, 0x34, 0xFF, 0xFE, 0xA1, 0xB2, 0xC3, 0xD4, 0xFF, 0xFF, 0xFF, 0xFF,
                       0x3F, 0x80, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 1,
                       0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00,
                       0x3F, 0xF8, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(out, expected);
}

TEST(FrameHeader, BuildsRtuAndMbapEnvelopes) {
  modbus_rtu_frame_header_t rtu(0x11);
  const auto rtu_empty = rtu.build({}, "t");
  ASSERT_EQ(rtu_empty.size(), 3u);
  const uint8_t sid = 0x11;
  const uint16_t crc = modbus_crc16(&sid, 1);
  EXPECT_EQ(rtu_empty, (bytes{0x11, static_cast<uint8_t>(crc), static_cast<uint8_t>(crc >> 8)}));
  EXPECT_EQ(rtu.build({0x03, 0x00, 0x6B, 0x00, 0x03}, "t"), (bytes{0x11, 0x03, 0x00, 0x6B, 0x00, 0x03, 0x76, 0x87}));
  EXPECT_EQ(rtu.length(), 0);
  EXPECT_EQ(rtu.unit_id(), 0x11);

  modbus_tcp_frame_header_t mbap(1, 0, 0, 0x22);
  EXPECT_EQ(mbap.length(), 0);
  EXPECT_EQ(mbap.build({}, "t"), (bytes{0, 1, 0, 0, 0, 1, 0x22}));
  EXPECT_EQ(mbap.build({0x03, 0x00, 0x10, 0x00, 0x02}, "t"),
            (bytes{0, 1, 0, 0, 0, 6, 0x22, 0x03, 0x00, 0x10, 0x00, 0x02}));
  EXPECT_EQ(mbap.length(), 6);
}

TEST(FrameHeader, ChecksTheReplyEnvelope) {
  auto connection = std::make_shared<script_connection_t>();
  const std::shared_ptr<connection_t> base = connection;

  modbus_rtu_frame_header_t rtu(5);
  connection->pending = {5, 0x03};
  EXPECT_TRUE(rtu.check_response(base, "t", false));
  EXPECT_EQ(connection->pending.size(), 1u);  // only the address was taken
  connection->pending = {6, 0x03};
  EXPECT_FALSE(rtu.check_response(base, "t", false));
  EXPECT_EQ(connection->pending.size(), 1u);
  connection->pending.clear();
  EXPECT_FALSE(rtu.check_response(base, "t", false));

  modbus_tcp_frame_header_t mbap(1, 0, 0, 9);
  connection->pending = {0xAB, 0xCD, 0x12, 0x34, 0x00, 0x63, 9, 0x03};  // any TID, PID and LEN pass
  EXPECT_TRUE(mbap.check_response(base, "t", true));
  EXPECT_EQ(connection->pending.size(), 1u);
  connection->pending = {0, 1, 0, 0, 0, 3, 8};
  EXPECT_FALSE(mbap.check_response(base, "t", false));
  connection->pending = {0, 1, 0, 0, 0};  // a short envelope
  EXPECT_FALSE(mbap.check_response(base, "t", false));
}

TEST(WriteRequest, SingleAndMultipleLayouts) {
  const struct {
    const char* what;
    uint8_t function;
    bytes data;
    bytes pdu;
    std::size_t reply_size;
    std::optional<bytes> required_reply;
  } rows[] = {
      {"register", 6, {0x12, 0x34}, {0x06, 0x00, 0x0A, 0x12, 0x34}, 5, std::nullopt},
      {"coil", 5, {0xFF, 0x00}, {0x05, 0x00, 0x0A, 0xFF, 0x00}, 5, std::nullopt},
      {"32 bits by function 6",
       6,
       {0x12, 0x34, 0x56, 0x78},
       {0x10, 0x00, 0x0A, 0x00, 0x02, 0x04, 0x12, 0x34, 0x56, 0x78},
       5,
       bytes{0x10, 0x00, 0x0A, 0x00, 0x02}},
      {"64 bits by function 16",
       16,
       {1, 2, 3, 4, 5, 6, 7, 8},
       {0x10, 0x00, 0x0A, 0x00, 0x04, 0x08, 1, 2, 3, 4, 5, 6, 7, 8},
       5,
       bytes{0x10, 0x00, 0x0A, 0x00, 0x04}},
      {"one register by function 16",
       16,
       {0x00, 0x07},
       {0x10, 0x00, 0x0A, 0x00, 0x01, 0x02, 0x00, 0x07},
       5,
       bytes{0x10, 0x00, 0x0A, 0x00, 0x01}},
      {"coil on by function 15", 15, {0xFF, 0x00}, {0x0F, 0x00, 0x0A, 0x00, 0x01, 0x01, 0x01}, 5,
       bytes{0x0F, 0x00, 0x0A, 0x00, 0x01}},
      {"coil off by function 15", 15, {0x00, 0x00}, {0x0F, 0x00, 0x0A, 0x00, 0x01, 0x01, 0x00}, 5,
       bytes{0x0F, 0x00, 0x0A, 0x00, 0x01}},
      {"own function", 65, {1, 2, 3, 4}, {0x41, 0x00, 0x0A, 1, 2, 3, 4}, 7, std::nullopt},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
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
      {"i8 from an input register", 4, {1, 1}, false, 2, {2, 0x00, 0xFE}, bytes{0xFE}},
      {"u16", 3, {2, 1}, false, 2, {2, 0x12, 0x34}, bytes{0x12, 0x34}},
      {"u32", 3, {4, 2}, false, 4, {4, 1, 2, 3, 4}, bytes{1, 2, 3, 4}},
      {"odd string takes its leading bytes", 3, {5, 3}, false, 6, {6, 'a', 'b', 'c', 'd', 'e', 0}, bytes{'a', 'b', 'c', 'd', 'e'}},
      {"coil", 1, {1, 1}, false, 1, {1, 0x01}, bytes{0x01}},
      {"discrete input", 2, {1, 1}, false, 1, {1, 0x00}, bytes{0x00}},
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

TEST(ExceptionMessages, BuiltInTable) {
  EXPECT_EQ(builtin_exception_message(2), "Адрес данных, указанный в запросе, недоступен");
  EXPECT_EQ(builtin_exception_message(9), "");
  EXPECT_EQ(builtin_exception_message(0), "Неизвестная ошибка");
  EXPECT_EQ(builtin_exception_message(12), "Неизвестная ошибка");
  EXPECT_EQ(builtin_exception_message(255), "Неизвестная ошибка");
  EXPECT_EQ(builtin_exception_message(11), "Ведомого устройства нет в сети или от него нет ответа");
}

}  // namespace
