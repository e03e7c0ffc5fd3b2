#include "runtime/HostName.h"

#include <windows.h>

#include <vector>

std::string HostName() {
  DWORD size = 0;
  GetComputerNameExW(ComputerNameDnsHostname, nullptr, &size);
  std::vector<wchar_t> name(size + 1, L'\0');
  if (size == 0 || !GetComputerNameExW(ComputerNameDnsHostname, name.data(), &size))
    return "unknown";
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(size), nullptr, 0,
                                        nullptr, nullptr);
  std::string text(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name.data(), static_cast<int>(size), text.data(), bytes, nullptr,
                      nullptr);
  return text.empty() ? "unknown" : text;
}
