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
//
// WritePage carries a 24-bit program address, so an image holds at most 16384
// pages; one with more is refused before anything is sent, as is any path
// that names something other than a regular file.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "runtime/Exceptions.h"

inline constexpr size_t kPageSize = 1536;
inline constexpr size_t kBlockSize = 128;
inline constexpr int kBlocksPerPage = 12;
inline constexpr size_t kTrailerSize = 3;
inline constexpr uint32_t kPageAddressStep = 1024;
inline constexpr size_t kResetVectorSize = 6;
inline constexpr uint8_t kVersionMark = 101; // 'e'
// The 24-bit program address space holds 2^24 / 1024 pages.
inline constexpr int kMaxPages = 16384;
// The largest file that can be an image: kMaxPages whole pages and a
// remainder (a trailer, or bytes that are ignored).
inline constexpr uint64_t kMaxImageBytes = uint64_t{kMaxPages + 1} * kPageSize - 1;

static_assert(kBlockSize * kBlocksPerPage == kPageSize);
static_assert(uint64_t{kMaxPages} * kPageAddressStep == uint64_t{1} << 24);

using ResetVectorBytes = std::array<uint8_t, kResetVectorSize>;
using PageBytes = std::array<uint8_t, kPageSize>;
using TrailerBytes = std::array<uint8_t, kTrailerSize>;

// Reads a whole file of at most `maxBytes` bytes, with the image's care: a
// regular file only, opened without blocking. Raises EInOutError with the
// path and the reason when it cannot, or when the file is larger.
std::vector<uint8_t> ReadWholeFile(const std::filesystem::path &path, uint64_t maxBytes);

// An image with more pages than the program address space holds: its pages
// past the last address would overwrite the first ones.
class EImageTooLarge : public Exception {
public:
  EImageTooLarge(const std::filesystem::path &path, uint64_t pages);
};

// How a path fails to name a file at all. The load sequence says "Файл не
// найден" for each of them; the command line adds which it was.
enum class ImageAbsence {
  None,             // something is there (whether it can be read is another matter)
  NoSuchFile,       // nothing at the path, or a link that leads nowhere
  SymbolicLinkLoop, // links that lead back to themselves
  Folder,           // a folder is not a file
};
ImageAbsence FindImageFile(const std::filesystem::path &path);

class FirmwareImage {
public:
  FirmwareImage() = default;
  explicit FirmwareImage(std::vector<uint8_t> bytes) : FBytes(std::move(bytes)) {}

  // Reads the whole file. Raises EInOutError with the path and the reason when
  // the path names no regular file or it cannot be read, and EImageTooLarge
  // when it holds more than kMaxPages pages (without reading it).
  static FirmwareImage ReadFile(const std::filesystem::path &path);

  size_t Size() const { return FBytes.size(); }
  const std::vector<uint8_t> &Data() const { return FBytes; }
  int PageCount() const { return static_cast<int>(FBytes.size() / kPageSize); }
  bool HasTrailer() const { return FBytes.size() % kPageSize == kTrailerSize; }
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
  std::vector<uint8_t> FBytes;
};
