#include "cli/ImageFile.h"

#include <iostream>

#include "cli/ExitCodes.h"
#include "cli/HexCommands.h"
#include "cli/RunReport.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"
#include "runtime/Hooks.h"
#include "runtime/ProgramPath.h"

namespace {
const char *AbsenceReason(ImageAbsence absence) {
  switch (absence) {
  case ImageAbsence::SymbolicLinkLoop:
    return "a loop of symbolic links";
  case ImageAbsence::Folder:
    return "a folder, not a file";
  default:
    return "no such file";
  }
}
} // namespace

bool ImageFileIsThere(const std::string &file) {
  const ImageAbsence absence = FindImageFile(PathFromUtf8(file));
  if (absence == ImageAbsence::None)
    return true;
  ShowError(SFileNotFound);
  std::cerr << file << ": " << AbsenceReason(absence) << std::endl;
  return false;
}

int ReadImage(const std::string &file, FirmwareImage &image) {
  if (!ImageFileIsThere(file))
    return kExitFileProblem;
  try {
    image = FirmwareImage::ReadFile(PathFromUtf8(file));
  } catch (const EImageTooLarge &failure) {
    ShowError(failure.what());
    return kExitRejected;
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return kExitFileProblem;
  }
  return kExitDone;
}

int CheckLoadFile(const std::string &file, int deviceCode, RunReport &report,
                  std::optional<FirmwareImage> &packed) {
  if (IsIntelHexFile(file)) {
    packed = PackForLoad(file, deviceCode,
                         [&report](const std::string &warning) { report.Warning(warning); });
    return packed ? kExitDone : kExitFileProblem;
  }
  if (deviceCode != 0) {
    const std::string text =
        "--device-code is for an Intel HEX file; an image carries its own trailer.";
    std::cerr << text << std::endl;
    report.Note(text);
    return kExitUsage;
  }
  FirmwareImage checked;
  return ReadImage(file, checked);
}
