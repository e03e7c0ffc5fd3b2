#include "link/serial/PortTable.h"

#include "runtime/ProgramPath.h"

#include <system_error>

namespace {
constexpr const char *kPortsFolder = "ports";

struct FixedRange {
  int First;
  int Last;
  const char *Prefix; // device n - First is Prefix + number
};
constexpr FixedRange kFixedRanges[] = {
    {1, 8, "/dev/ttyS"},
    {9, 24, "/dev/ttyUSB"},
    {25, 32, "/dev/ttyACM"},
};

std::string FixedPath(int n) {
  for (const FixedRange &range : kFixedRanges) {
    if (n >= range.First && n <= range.Last)
      return range.Prefix + std::to_string(n - range.First);
  }
  return {};
}

std::string FolderPath(const std::filesystem::path &folder, int n) {
  const std::filesystem::path entry = folder / ("COM" + std::to_string(n));
  std::error_code error;
  // symlink_status: an entry counts even when its link dangles.
  if (!std::filesystem::exists(std::filesystem::symlink_status(entry, error)))
    return {};
  return entry.string();
}
} // namespace

PortTable PortTable::BesideProgram() {
  return ForProgramDirectory(ProgramDirectory(), ::SettingsFolder());
}

PortTable PortTable::ForProgramDirectory(std::filesystem::path programDirectory,
                                         std::filesystem::path settingsFolder) {
  return PortTable(Kind::BesideProgram, std::move(programDirectory), std::move(settingsFolder));
}

PortTable PortTable::FromFolder(std::filesystem::path folder) {
  return PortTable(Kind::Folder, std::move(folder));
}

PortTable PortTable::Fixed() {
  return PortTable(Kind::Fixed, {});
}

PortTable PortTable::Single(std::string devicePath) {
  return PortTable(Kind::Single, std::filesystem::path(std::move(devicePath)));
}

std::string PortTable::PathOf(int n) const {
  if (n < kFirstPort || n > kMaxPort)
    return {};
  switch (FTableKind) {
  case Kind::Fixed:
    return FixedPath(n);
  case Kind::Folder:
    return FolderPath(FWhere, n);
  case Kind::BesideProgram:
    for (const std::filesystem::path &where : {FWhere, FSettingsFolder}) {
      std::error_code error;
      if (!where.empty() && std::filesystem::is_directory(where / kPortsFolder, error))
        return FolderPath(where / kPortsFolder, n);
    }
    return FixedPath(n);
  case Kind::Single:
    return n == kFirstPort ? FWhere.string() : std::string();
  }
  return {};
}

std::string PortTable::ResolvedPathOf(int n) const {
  const std::string path = PathOf(n);
  if (path.empty())
    return {};
  std::error_code error;
  const std::filesystem::path target = std::filesystem::canonical(path, error);
  return error ? std::string() : target.string();
}
