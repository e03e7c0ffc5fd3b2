#pragma once
// The image file a command is given, checked and read the same way by every
// command that takes one.
#include <string>

#include "loader/FirmwareImage.h"

// Says, after "Файл не найден", why nothing readable is at `file` (missing, a
// folder, a loop of links) and answers false; true when something is there.
bool ImageFileIsThere(const std::string &file);

// Reads the image as the load will. Says why it cannot be read and answers
// the exit code (4 for the file, 1 for an image past the address space), or
// kExitDone.
int ReadImage(const std::string &file, FirmwareImage &image);
