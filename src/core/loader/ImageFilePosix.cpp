#include "loader/ImageFile.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "runtime/Exceptions.h"

namespace {
class Descriptor {
public:
  explicit Descriptor(int fd) : FFd(fd) {}
  ~Descriptor() {
    if (FFd >= 0)
      ::close(FFd);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int Get() const { return FFd; }

private:
  int FFd;
};

// What the path names instead of a file, in the words of the image's messages.
const char *KindOf(mode_t mode) {
  if (S_ISDIR(mode))
    return "это папка, а не файл";
  if (S_ISFIFO(mode))
    return "это именованный канал (FIFO), а не файл";
  if (S_ISCHR(mode) || S_ISBLK(mode))
    return "это устройство, а не файл";
  if (S_ISSOCK(mode))
    return "это сокет, а не файл";
  return "это не обычный файл";
}

[[noreturn]] void CannotRead(const std::filesystem::path &path, const std::string &reason) {
  throw EInOutError("Не удалось прочитать файл " + path.string() + ": " + reason);
}
} // namespace

ImageFileContent ReadImageFile(const std::filesystem::path &path, uint64_t maxBytes) {
  Descriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
  if (file.Get() < 0)
    CannotRead(path,
               errno == EACCES || errno == EPERM ? "нет прав на чтение" : std::strerror(errno));
  struct stat info {};
  if (::fstat(file.Get(), &info) != 0)
    CannotRead(path, std::strerror(errno));
  if (!S_ISREG(info.st_mode))
    CannotRead(path, KindOf(info.st_mode));

  ImageFileContent content;
  content.Size = static_cast<uint64_t>(info.st_size);
  if (content.Size > maxBytes)
    return content;
  // Read up to one byte past the limit, which tells a file that grew while it
  // was read; the buffer starts at the size the file had.
  const size_t cap = static_cast<size_t>(maxBytes) + 1;
  content.Bytes.resize(static_cast<size_t>(content.Size) + 1);
  size_t filled = 0;
  for (;;) {
    if (filled == content.Bytes.size()) {
      if (filled == cap)
        break;
      content.Bytes.resize(std::min(cap, filled * 2));
    }
    const ssize_t got =
        ::read(file.Get(), content.Bytes.data() + filled, content.Bytes.size() - filled);
    if (got < 0 && errno == EINTR)
      continue;
    if (got < 0)
      CannotRead(path, std::strerror(errno));
    if (got == 0)
      break;
    filled += static_cast<size_t>(got);
  }
  content.Bytes.resize(filled);
  if (filled > maxBytes) {
    content.Size = filled;
    content.Bytes = {};
  }
  return content;
}
