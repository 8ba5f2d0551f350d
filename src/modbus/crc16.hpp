#pragma once

#include <cstddef>
#include <cstdint>

// CRC-16/MODBUS (reflected polynomial 0xA001, start 0xFFFF, no final XOR).
// The result goes on the wire low byte first. `crc` carries on from the CRC
// of the bytes before these, for a frame checked in pieces.
uint16_t modbus_crc16(const uint8_t* data, std::size_t size, uint16_t crc = 0xFFFF);
