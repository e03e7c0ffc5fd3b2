// Reading an image file without trusting what the path names: the one
// platform-dependent step of the image, one source per platform
// (ImageFilePosix.cpp, ImageFileWin32.cpp), chosen by CMake.
#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

struct ImageFileContent {
  uint64_t Size = 0;          // the file's size when it was opened
  std::vector<uint8_t> Bytes; // what was read: empty when Size passed the limit
};

// Opens `path` for reading without blocking (a FIFO cannot stall the program),
// without following it into a terminal, close-on-exec, and checks that it is a
// regular file before reading anything. A file of at most `maxBytes` bytes is
// read whole, and never more than `maxBytes` + 1 bytes of it (a file that grows
// while it is read); a larger one is not read at all.
// Raises EInOutError with the path and the reason when the path names no
// regular file or the file cannot be read.
ImageFileContent ReadImageFile(const std::filesystem::path &path, uint64_t maxBytes);
