#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/value_types.hpp"
#include "value_channels.hpp"

namespace {

using korvex_test::channel_settings_t;
using korvex_test::text_of;
using korvex_test::value_channels_t;

TEST(ValueEncoding, TextsBecomeRegisterBytes) {
  const struct {
    channel_settings_t settings;
    const char* text;
    std::vector<uint8_t> bytes;
  } rows[] = {
      {{.value_type = "u32"}, "305419896", {0x12, 0x34, 0x56, 0x78}},
      {{.value_type = "u32", .word_order = "little_endian"}, "305419896", {0x78, 0x56, 0x34, 0x12}},
      {{.value_type = "u32", .word_order = "mid_big_endian"}, "305419896", {0x34, 0x12, 0x78, 0x56}},
      {{.value_type = "u32", .word_order = "mid_little_endian"}, "305419896", {0x56, 0x78, 0x12, 0x34}},
      {{.value_type = "u32"}, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
      {{.value_type = "i32"}, "-2147483648", {0x80, 0x00, 0x00, 0x00}},
      {{.value_type = "i16"}, "-2", {0xFF, 0xFE}},
      {{.value_type = "i16", .word_order = "little_endian"}, "-2", {0xFE, 0xFF}},
      {{.value_type = "u8"}, "7", {0x00, 0x07}},
      {{.value_type = "bit"}, "0", {0x00, 0x00}},
      {{.value_type = "bit", .inverted = true}, "1", {0x00, 0x00}},
      {{.value_type = "bit", .inverted = true}, "0", {0xFF, 0x00}},
      {{.value_type = "bit", .word_order = "little_endian"}, "1", {0xFF, 0x00}},  // a coil has no word order
      {{.value_type = "float32"}, "1.5", {0x3F, 0xC0, 0x00, 0x00}},
      {{.value_type = "float64"}, "1.5", {0x3F, 0xF8, 0, 0, 0, 0, 0, 0}},
      {{.value_type = "float64", .word_order = "mid_little_endian"}, "1.5", {0, 0, 0, 0, 0, 0, 0x3F, 0xF8}},
      {{.value_type = "i64"}, "-1234567890123", {0xFF, 0xFF, 0xFE, 0xE0, 0x8E, 0x04, 0xFB, 0x35}},
      {{.value_type = "u64"}, "18446744073709551615", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      // Half precision: one register, nearest value, ties to even.
      {{.value_type = "float16"}, "1", {0x3C, 0x00}},
      {{.value_type = "float16"}, "-2", {0xC0, 0x00}},
      {{.value_type = "float16"}, "0.33325195", {0x35, 0x55}},
      {{.value_type = "float16"}, "65504", {0x7B, 0xFF}},
      {{.value_type = "float16"}, "1.00048828125", {0x3C, 0x00}},     // a tie goes to the even fraction
      {{.value_type = "float16"}, "1.00146484375", {0x3C, 0x02}},     // a tie goes to the even fraction
      {{.value_type = "float16"}, "5.9604644775390625e-8", {0x00, 0x01}},  // the smallest subnormal
      {{.value_type = "float16"}, "2.99e-8", {0x00, 0x01}},  // just above half of it rounds up
      {{.value_type = "float16"}, "1e-8", {0x00, 0x00}},
      {{.value_type = "float16", .word_order = "little_endian"}, "1", {0x00, 0x3C}},
      {{.value_type = "u16", .write_condition = "value>50?1:0"}, "70", {0x00, 0x01}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings.value_type + " " + row.settings.word_order + " " + row.text);
    value_channels_t channels;
    EXPECT_EQ(channels.encode(row.settings, row.text), modbus_vector_t(row.bytes.begin(), row.bytes.end()));
  }
}

TEST(ValueEncoding, RefusedTextsTypesAndOrders) {
  register_string_type("str8");
  const struct {
    channel_settings_t settings;
    const char* text;
    const char* message;  // what() of the refusal
  } rows[] = {
      {{.value_type = "u16", .word_order = "mid_big_endian"}, "1", "Недопустимый порядок байт"},
      {{.value_type = "float16", .word_order = "mid_little_endian"}, "1", "Недопустимый порядок байт"},
      {{.value_type = "u16", .word_order = "middle"}, "1", "middle : неизвестный токен"},
      {{.value_type = "fixu16"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "utc4"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "str8"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "i24"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "bcd16"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "my_class"}, "1", "Недопустимый тип для записи"},
      {{.value_type = "bit", .inverted = true}, "on", "on : недопустимое значение для записи"},
      // A failing condition is refused with the engine's own text.
      {{.value_type = "u16", .write_condition = "nothing_here"}, "1",
       "duktape : ошибка выполнения : ReferenceError: identifier 'nothing_here' undefined"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.settings.value_type + " " + row.text);
    value_channels_t channels;
    try {
      channels.encode(row.settings, row.text);
      ADD_FAILURE() << "accepted";
    } catch (const std::exception& error) {
      EXPECT_STREQ(error.what(), row.message);
    }
  }
}

// What a write puts into the registers reads back as the written number, for
// every writable type in every word order it accepts.
TEST(ValueEncoding, WrittenValuesDecodeBackToTheirText) {
  const struct {
    const char* type;
    std::vector<const char*> texts;
    bool one_register;
  } rows[] = {
      {"i16", {"-2", "0", "32767", "-32768"}, true},
      {"u16", {"0", "65535", "4660"}, true},
      {"i32", {"-123456789", "2147483647"}, false},
      {"u32", {"305419896", "4294967295"}, false},
      {"i64", {"-1234567890123", "9223372036854775807"}, false},
      {"u64", {"18446744073709551615", "1"}, false},
      {"float16", {"1", "-2", "0.33325195", "65504", "5.9604645e-08"}, true},
      {"float32", {"1.5", "-0.0015", "3.4028235e+38"}, false},
      {"float64", {"6.02214076e+23", "-1.5"}, false},
  };
  const char* orders[] = {"big_endian", "little_endian", "mid_big_endian", "mid_little_endian"};
  value_channels_t channels;
  for (const auto& row : rows) {
    for (const char* order : orders) {
      if (row.one_register && std::string(order).starts_with("mid")) continue;
      for (const char* text : row.texts) {
        SCOPED_TRACE(std::string(row.type) + " " + order + " " + text);
        const channel_settings_t settings{.value_type = row.type, .word_order = order, .format = "{}"};
        const auto bytes = channels.encode(settings, text);
        EXPECT_EQ(text_of(channels.decode(settings, std::vector<uint8_t>(bytes.begin(), bytes.end()))), text);
      }
    }
  }
  // A coil reads back from the first byte of what was written, inverted or not.
  for (const bool inverted : {false, true}) {
    for (const char* text : {"0", "1"}) {
      const channel_settings_t settings{.value_type = "bit", .inverted = inverted};
      const auto bytes = channels.encode(settings, text);
      EXPECT_EQ(text_of(channels.decode(settings, std::vector<uint8_t>(bytes.begin(), bytes.end()))), text);
    }
  }
  // An 8-bit value written as a whole register is read from its first byte,
  // which holds the value's low byte when the register is little-endian.
  for (const char* type : {"i8", "u8"}) {
    const channel_settings_t settings{.value_type = type, .word_order = "little_endian"};
    for (const char* text : {"5", "127"}) {
      const auto bytes = channels.encode(settings, text);
      EXPECT_EQ(text_of(channels.decode(settings, std::vector<uint8_t>(bytes.begin(), bytes.end()))), text);
    }
  }
}

}  // namespace
