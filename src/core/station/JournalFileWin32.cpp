#include "station/JournalFile.h"

#include <windows.h>

#include <thread>

#include "runtime/ProgramPath.h"
#include "station/Journal.h"

namespace {
constexpr std::chrono::milliseconds kLockRetry{5};
// The lock covers one byte far past any journal's end, so that readers,
// which take no lock, are never kept out.
constexpr DWORD kLockOffsetHigh = 0x7FFFFFFF;

HANDLE Handle(intptr_t value) {
  return reinterpret_cast<HANDLE>(value);
}

std::string SystemText(DWORD error) {
  wchar_t *text = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, error, 0, reinterpret_cast<wchar_t *>(&text), 0, nullptr);
  std::string result = "error " + std::to_string(error);
  if (length > 0 && text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0,
                                          nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), utf8.data(), bytes, nullptr,
                        nullptr);
    while (!utf8.empty() && (utf8.back() == '\n' || utf8.back() == '\r' || utf8.back() == '.'))
      utf8.pop_back();
    result = utf8;
  }
  LocalFree(text);
  return result;
}

[[noreturn]] void Fail(const std::filesystem::path &path, const std::string &what, DWORD error) {
  throw EJournalError("The journal " + Utf8FromPath(path) + " " + what + ": " + SystemText(error) +
                      ".");
}

bool SetSize(HANDLE file, LONGLONG size) {
  LARGE_INTEGER at{};
  at.QuadPart = size;
  return SetFilePointerEx(file, at, nullptr, FILE_BEGIN) && SetEndOfFile(file);
}
} // namespace

LockedJournalFile::LockedJournalFile(const std::filesystem::path &path,
                                     std::chrono::milliseconds lockWait)
    : FPath(path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE)
    Fail(path, "cannot be opened for writing", GetLastError());
  const auto deadline = std::chrono::steady_clock::now() + lockWait;
  for (;;) {
    OVERLAPPED where{};
    where.OffsetHigh = kLockOffsetHigh;
    if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where))
      break;
    const DWORD error = GetLastError();
    if (error != ERROR_LOCK_VIOLATION || std::chrono::steady_clock::now() > deadline) {
      CloseHandle(file);
      if (error == ERROR_LOCK_VIOLATION)
        throw EJournalError("The journal " + Utf8FromPath(path) +
                            " stayed locked by another writer.");
      Fail(path, "cannot be locked", error);
    }
    std::this_thread::sleep_for(kLockRetry);
  }
  FHandle = reinterpret_cast<intptr_t>(file);
}

LockedJournalFile::~LockedJournalFile() {
  OVERLAPPED where{};
  where.OffsetHigh = kLockOffsetHigh;
  UnlockFileEx(Handle(FHandle), 0, 1, 0, &where);
  CloseHandle(Handle(FHandle));
}

std::string LockedJournalFile::ReadAll() {
  return ReadFrom(0);
}

uint64_t LockedJournalFile::Size() {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(Handle(FHandle), &size))
    Fail(FPath, "cannot be read", GetLastError());
  return static_cast<uint64_t>(size.QuadPart);
}

std::string LockedJournalFile::ReadFrom(uint64_t from) {
  const HANDLE file = Handle(FHandle);
  std::string content;
  LARGE_INTEGER start{};
  start.QuadPart = static_cast<LONGLONG>(from);
  if (!SetFilePointerEx(file, start, nullptr, FILE_BEGIN))
    Fail(FPath, "cannot be read", GetLastError());
  char chunk[65536];
  for (;;) {
    DWORD got = 0;
    if (!ReadFile(file, chunk, sizeof chunk, &got, nullptr))
      Fail(FPath, "cannot be read", GetLastError());
    if (got == 0)
      return content;
    content.append(chunk, got);
  }
}

void LockedJournalFile::AppendDurably(const std::string &line) {
  const HANDLE file = Handle(FHandle);
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size))
    Fail(FPath, "cannot be written", GetLastError());
  std::string bytes = line;
  if (size.QuadPart > 0) {
    LARGE_INTEGER last{};
    last.QuadPart = size.QuadPart - 1;
    char byte = '\n';
    DWORD got = 0;
    if (SetFilePointerEx(file, last, nullptr, FILE_BEGIN) &&
        ReadFile(file, &byte, 1, &got, nullptr) && got == 1 && byte != '\n')
      bytes.insert(bytes.begin(), '\n');
  }
  LARGE_INTEGER end{};
  if (!SetFilePointerEx(file, end, nullptr, FILE_END))
    Fail(FPath, "cannot be written", GetLastError());
  DWORD put = 0;
  if (!WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr) ||
      put != bytes.size()) {
    const DWORD error = GetLastError();
    if (SetSize(file, size.QuadPart))
      FlushFileBuffers(file);
    Fail(FPath, "cannot be written", error ? error : ERROR_DISK_FULL);
  }
  if (!FlushFileBuffers(file)) {
    const DWORD error = GetLastError();
    SetSize(file, size.QuadPart);
    Fail(FPath, "cannot be flushed to disk", error);
  }
}

void LockedJournalFile::EmptyDurably() {
  const HANDLE file = Handle(FHandle);
  if (!SetSize(file, 0) || !FlushFileBuffers(file))
    Fail(FPath, "cannot be emptied", GetLastError());
}
