// The checksum shared by the calibration standard record and the firmware
// package entry headers: reflected polynomial 0xEDB88320, no initial or final
// inversion. Its table is the one a sign-propagating right shift generates,
// so it differs from the common CRC-32 table in the top byte of 254 entries;
// stored files depend on exactly this table.
#pragma once

#include <cstddef>
#include <cstdint>

namespace codec {

inline constexpr uint32_t kCalibrationSeed = 0xDEADBEEFu;
inline constexpr uint32_t kPackageEntrySeed = 0x16041604u;

// The running value after the last byte; pass it as the seed to continue.
uint32_t crc32Variant(uint32_t seed, const void* data, size_t length);
uint32_t crc32VariantTableEntry(uint8_t index);

}  // namespace codec
