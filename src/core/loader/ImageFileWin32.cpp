#include "loader/ImageFile.h"

#include <algorithm>
#include <fstream>
#include <string>
#include <system_error>

#include "runtime/Exceptions.h"
#include "runtime/ProgramPath.h"

namespace {
[[noreturn]] void CannotRead(const std::filesystem::path &path, const std::string &reason) {
  throw EInOutError("Не удалось прочитать файл " + Utf8FromPath(path) + ": " + reason);
}
} // namespace

// Windows has no FIFO in the file system that an open could wait on: the
// status tells what the path names before it is opened.
ImageFileContent ReadImageFile(const std::filesystem::path &path, uint64_t maxBytes) {
  std::error_code error;
  const std::filesystem::file_status status = std::filesystem::status(path, error);
  if (error)
    CannotRead(path, error.message());
  if (status.type() == std::filesystem::file_type::directory)
    CannotRead(path, "это папка, а не файл");
  if (status.type() != std::filesystem::file_type::regular)
    CannotRead(path, "это не обычный файл");
  ImageFileContent content;
  content.Size = std::filesystem::file_size(path, error);
  if (error)
    CannotRead(path, error.message());
  if (content.Size > maxBytes)
    return content;
  std::ifstream file(path, std::ios::binary);
  if (!file)
    CannotRead(path, "нет прав на чтение");
  // Up to one byte past the limit, which tells a file that grew while it was read.
  const size_t cap = static_cast<size_t>(maxBytes) + 1;
  content.Bytes.resize(static_cast<size_t>(content.Size) + 1);
  size_t filled = 0;
  while (file) {
    if (filled == content.Bytes.size()) {
      if (filled == cap)
        break;
      content.Bytes.resize(std::min(cap, filled * 2));
    }
    file.read(reinterpret_cast<char *>(content.Bytes.data() + filled),
              static_cast<std::streamsize>(content.Bytes.size() - filled));
    filled += static_cast<size_t>(file.gcount());
  }
  if (file.bad())
    CannotRead(path, "ошибка чтения");
  content.Bytes.resize(filled);
  if (filled > maxBytes) {
    content.Size = filled;
    content.Bytes = {};
  }
  return content;
}
