#include "runtime/Exceptions.h"
#include "runtime/IniFlsFile.h"
#include "runtime/ProgramPath.h"

#include <windows.h>

namespace {

// Paths are UTF-8 in the core; the wide calls take every letter.
std::wstring Wide(const std::string &path) {
  return PathFromUtf8(path).wstring();
}

std::string ErrorText(DWORD error) {
  switch (error) {
  case ERROR_ACCESS_DENIED:
  case ERROR_WRITE_PROTECT:
  case ERROR_SHARING_VIOLATION:
    return "File access denied";
  case ERROR_FILE_NOT_FOUND:
    return "File not found";
  case ERROR_PATH_NOT_FOUND:
    return "Path not found";
  case ERROR_DISK_FULL:
  case ERROR_HANDLE_DISK_FULL:
    return "Disk full";
  case ERROR_TOO_MANY_OPEN_FILES:
    return "Too many open files";
  case ERROR_INVALID_NAME:
  case ERROR_FILENAME_EXCED_RANGE:
    return "Invalid filename";
  default:
    return "I/O error " + std::to_string(error);
  }
}

bool WriteAll(HANDLE file, std::string_view data) {
  while (!data.empty()) {
    const DWORD chunk = data.size() > 0x10000000 ? 0x10000000 : static_cast<DWORD>(data.size());
    DWORD written = 0;
    if (!WriteFile(file, data.data(), chunk, &written, nullptr) || written == 0)
      return false;
    data.remove_prefix(written);
  }
  return true;
}

} // namespace

IniReadResult IniReadFile(const std::string &path, std::string &content) {
  content.clear();
  const HANDLE file =
      CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? IniReadResult::Missing
                                                                          : IniReadResult::Failed;
  }
  char chunk[64 * 1024];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr)) {
      CloseHandle(file);
      content.clear();
      return IniReadResult::Failed;
    }
    if (got == 0)
      break;
    content.append(chunk, got);
  }
  CloseHandle(file);
  return IniReadResult::Ok;
}

void IniCreateFile(const std::string &path, std::string_view content) {
  const HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
      return;
    // A folder at the path exists too: reads then give defaults, writes fail.
    if (error == ERROR_ACCESS_DENIED &&
        GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES)
      return;
    throw EInOutError(ErrorText(error));
  }
  const bool written = WriteAll(file, content);
  const DWORD error = GetLastError();
  CloseHandle(file);
  if (!written) {
    DeleteFileW(Wide(path).c_str());
    throw EInOutError(ErrorText(error));
  }
}

bool IniReplaceFile(const std::string &path, std::string_view content) {
  // The move would get round a read-only attribute or a file's access rights:
  // a file that may not be opened for writing is not replaced.
  if (GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES) {
    const HANDLE existing = CreateFileW(Wide(path).c_str(), GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (existing == INVALID_HANDLE_VALUE)
      return false;
    CloseHandle(existing);
  }
  const std::string temp = path + ".~" + std::to_string(GetCurrentProcessId());
  const HANDLE file = CreateFileW(Wide(temp).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    return false;
  const bool done = WriteAll(file, content) && FlushFileBuffers(file);
  CloseHandle(file);
  if (!done || !MoveFileExW(Wide(temp).c_str(), Wide(path).c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    DeleteFileW(Wide(temp).c_str());
    return false;
  }
  return true;
}
