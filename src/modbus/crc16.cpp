#include "modbus/crc16.hpp"

uint16_t modbus_crc16(const uint8_t* data, std::size_t size, uint16_t crc) {
  for (std::size_t index = 0; index < size; ++index) {
    crc ^= data[index];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1u) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001u) : static_cast<uint16_t>(crc >> 1);
    }
  }
  return crc;
}
