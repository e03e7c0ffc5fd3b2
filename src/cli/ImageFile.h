#pragma once
// The image file a command is given, checked and read the same way by every
// command that takes one.
#include <optional>
#include <string>

#include "loader/FirmwareImage.h"

class RunReport;

// Says, after "Файл не найден", why nothing readable is at `file` (missing, a
// folder, a loop of links) and answers false; true when something is there.
bool ImageFileIsThere(const std::string &file);

// Reads the image as the load will. Says why it cannot be read and answers
// the exit code (4 for the file, 1 for an image past the address space), or
// kExitDone.
int ReadImage(const std::string &file, FirmwareImage &image);

// The file a load is given, checked before any port is opened: an Intel HEX
// file is packed into `packed` (its warnings told to `report` too), an image
// read to see that it can be (the load reads it again, as it always does).
// `deviceCode` is for Intel HEX only. Answers the exit code, or kExitDone.
int CheckLoadFile(const std::string &file, int deviceCode, RunReport &report,
                  std::optional<FirmwareImage> &packed);
