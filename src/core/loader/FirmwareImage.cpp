#include "loader/FirmwareImage.h"

#include <algorithm>
#include <string>
#include <system_error>

#include "loader/ImageFile.h"
#include "runtime/ProgramPath.h"

EImageTooLarge::EImageTooLarge(const std::filesystem::path &path, uint64_t pages)
    : Exception(
          "Файл " + Utf8FromPath(path) + " слишком велик для устройства: " + std::to_string(pages) +
          " страниц, а 24-битный адрес программы вмещает " + std::to_string(kMaxPages) + ".") {}

ImageAbsence FindImageFile(const std::filesystem::path &path) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error == std::errc::too_many_symbolic_link_levels)
    return ImageAbsence::SymbolicLinkLoop;
  if (status.type() == std::filesystem::file_type::not_found)
    return ImageAbsence::NoSuchFile;
  if (status.type() == std::filesystem::file_type::directory)
    return ImageAbsence::Folder;
  return ImageAbsence::None;
}

std::vector<uint8_t> ReadWholeFile(const std::filesystem::path &path, uint64_t maxBytes) {
  ImageFileContent content = ReadImageFile(path, maxBytes);
  if (content.Size > maxBytes)
    throw EInOutError("Не удалось прочитать файл " + Utf8FromPath(path) + ": он больше " +
                      std::to_string(maxBytes) + " байт");
  return std::move(content.Bytes);
}

FirmwareImage FirmwareImage::ReadFile(const std::filesystem::path &path) {
  ImageFileContent content = ReadImageFile(path, kMaxImageBytes);
  if (content.Size > kMaxImageBytes)
    throw EImageTooLarge(path, content.Size / kPageSize);
  return FirmwareImage(std::move(content.Bytes));
}

TrailerBytes FirmwareImage::Trailer() const {
  TrailerBytes trailer{};
  if (FBytes.size() >= kTrailerSize)
    std::copy(FBytes.end() - kTrailerSize, FBytes.end(), trailer.begin());
  return trailer;
}

size_t FirmwareImage::IgnoredBytes() const {
  const size_t remainder = FBytes.size() % kPageSize;
  return remainder == kTrailerSize ? 0 : remainder;
}

std::span<const uint8_t, kPageSize> FirmwareImage::Page(int p) const {
  return std::span<const uint8_t, kPageSize>(FBytes.data() + (p - 1) * kPageSize, kPageSize);
}

void FirmwareImage::OverwriteResetVector(const ResetVectorBytes &resetVector) {
  if (FBytes.size() < kResetVectorSize)
    FBytes.resize(kResetVectorSize);
  std::copy(resetVector.begin(), resetVector.end(), FBytes.begin());
}
