#include "loader/FirmwareImage.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "runtime/Exceptions.h"

namespace {
std::string ReadFailure(int error, const std::filesystem::path &path) {
  if (error == EACCES || error == EPERM || error == EISDIR)
    return "File access denied";
  return "Не удалось прочитать файл " + path.string() + ": " + std::strerror(error);
}

struct FileCloser {
  void operator()(std::FILE *file) const { std::fclose(file); }
};
} // namespace

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path &path) {
  std::error_code error;
  if (std::filesystem::is_directory(path, error))
    throw EInOutError(ReadFailure(EISDIR, path));
  std::unique_ptr<std::FILE, FileCloser> file(std::fopen(path.string().c_str(), "rb"));
  if (!file)
    throw EInOutError(ReadFailure(errno, path));
  std::vector<uint8_t> bytes;
  // The size is only a hint: the file may change while it is read.
  const auto size = std::filesystem::file_size(path, error);
  if (!error)
    bytes.reserve(static_cast<size_t>(size));
  uint8_t chunk[65536];
  for (;;) {
    const size_t got = std::fread(chunk, 1, sizeof chunk, file.get());
    bytes.insert(bytes.end(), chunk, chunk + got);
    if (got < sizeof chunk) {
      if (std::ferror(file.get()))
        throw EInOutError(ReadFailure(errno ? errno : EIO, path));
      break;
    }
  }
  return bytes;
}

FirmwareImage FirmwareImage::ReadFile(const std::filesystem::path &path) {
  return FirmwareImage(ReadWholeFile(path));
}

TrailerBytes FirmwareImage::Trailer() const {
  TrailerBytes trailer{};
  if (Bytes.size() >= kTrailerSize)
    std::copy(Bytes.end() - kTrailerSize, Bytes.end(), trailer.begin());
  return trailer;
}

size_t FirmwareImage::IgnoredBytes() const {
  const size_t remainder = Bytes.size() % kPageSize;
  return remainder == kTrailerSize ? 0 : remainder;
}

std::span<const uint8_t, kPageSize> FirmwareImage::Page(int p) const {
  return std::span<const uint8_t, kPageSize>(Bytes.data() + (p - 1) * kPageSize, kPageSize);
}

void FirmwareImage::OverwriteResetVector(const ResetVectorBytes &resetVector) {
  if (Bytes.size() < kResetVectorSize)
    Bytes.resize(kResetVectorSize);
  std::copy(resetVector.begin(), resetVector.end(), Bytes.begin());
}
