// Where the running program file lives: settings, the single-instance marker
// and the ports folder are all found beside it.
#pragma once

#include <filesystem>

// The running program file's full path, as the platform reports it.
std::filesystem::path ProgramFilePath();
// The folder that holds the program file.
std::filesystem::path ProgramDirectory();
