// Checksums shared by the dataset store, the compact configuration, measurement files, status
// blocks and telemetry frames.
#pragma once

#include <cstddef>
#include <cstdint>

// Reflected CRC-16-CCITT (polynomial 0x1021, processed least-significant bit first), table driven,
// no final XOR, continued from `seed`. With seed 0xFFFF this is CRC-16/MCRF4XX; a long buffer
// may be checked in pieces by passing the previous result as the next seed.
uint16_t crc16_ccitt_lsb_accu(const void* data, size_t length, uint16_t seed);

// CRC-32 with the reflected polynomial 0xEDB88320, start value 0 and no final XOR.
uint32_t crc32_bsd(const void* data, size_t length);
