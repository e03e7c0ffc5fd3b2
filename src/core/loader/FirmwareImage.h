// The firmware image: the bytes of a .rom file, read whole into memory.
//
//   whole pages   size / 1536 of them; page p is bytes (p-1)*1536 ... p*1536-1
//                 and holds program addresses (p-1)*1024 ... p*1024-1
//   trailer       the last 3 bytes, present exactly when size % 1536 == 3:
//                 device code, version mark ('e'), one byte not examined
//   remainder     any other 1, 2 or 4 ... 1535 bytes after the pages: ignored
//
// Pages 2 to 4 are never sent, and bytes 0 ... 5 are replaced by the reset
// vector that the device reports. The file itself is never written.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

inline constexpr size_t kPageSize = 1536;
inline constexpr size_t kBlockSize = 128;
inline constexpr int kBlocksPerPage = 12;
inline constexpr size_t kTrailerSize = 3;
inline constexpr uint32_t kPageAddressStep = 1024;
inline constexpr size_t kResetVectorSize = 6;
inline constexpr uint8_t kVersionMark = 101; // 'e'

static_assert(kBlockSize * kBlocksPerPage == kPageSize);

using ResetVectorBytes = std::array<uint8_t, kResetVectorSize>;
using PageBytes = std::array<uint8_t, kPageSize>;
using TrailerBytes = std::array<uint8_t, kTrailerSize>;

// Reads a whole file. Raises EInOutError with the cause when it cannot.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path &path);

class FirmwareImage {
public:
  FirmwareImage() = default;
  explicit FirmwareImage(std::vector<uint8_t> bytes) : Bytes(std::move(bytes)) {}

  // The whole file as the image (ReadWholeFile).
  static FirmwareImage ReadFile(const std::filesystem::path &path);

  size_t Size() const { return Bytes.size(); }
  const std::vector<uint8_t> &Data() const { return Bytes; }
  int PageCount() const { return static_cast<int>(Bytes.size() / kPageSize); }
  bool HasTrailer() const { return Bytes.size() % kPageSize == kTrailerSize; }
  // The last 3 bytes; only meaningful when HasTrailer().
  TrailerBytes Trailer() const;
  // Bytes after the whole pages that are neither sent nor examined (the
  // trailer not counted).
  size_t IgnoredBytes() const;
  // Page p, counted from 1 (1 ... PageCount()).
  std::span<const uint8_t, kPageSize> Page(int p) const;

  // Writes the device's reset vector over bytes 0 ... 5, growing the image to
  // 6 bytes if it is shorter.
  void OverwriteResetVector(const ResetVectorBytes &resetVector);

  // Pages 2, 3 and 4 are never sent.
  static bool IsPageSent(int p) { return p < 2 || p > 4; }
  // Program address of page p: (p - 1) * 1024.
  static uint32_t PageAddress(int p) { return static_cast<uint32_t>(p - 1) * kPageAddressStep; }

private:
  std::vector<uint8_t> Bytes;
};
