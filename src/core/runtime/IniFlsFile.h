// The file operations under TMIniFile, one source per platform
// (IniFlsPosix.cpp, IniFlsWin32.cpp). Paths are UTF-8 text (the platform's
// byte strings on POSIX).
#pragma once

#include <string>
#include <string_view>

enum class IniReadResult { Ok, Missing, Failed };

// Reads the whole file into `content`. Missing: nothing at the path (or a
// folder on the way is missing). Failed: anything else that keeps it from
// being read, a path naming something other than a regular file included.
IniReadResult IniReadFile(const std::string &path, std::string &content);

// Creates the file holding `content` when nothing exists at the path; leaves
// an existing one alone. Throws EInOutError naming the cause ("File access
// denied", "Path not found", ...); a half-made file is removed again.
void IniCreateFile(const std::string &path, std::string_view content);

// Replaces the file's content as one step: a temporary file in the same folder,
// written, flushed to disk and renamed over the file (keeping the file's mode
// and, where the platform permits, its owner). Returns false when it could
// not, or when the file is read-only: no write permission at all (for every
// user, root included) or none for this user. The file is then untouched and
// no temporary file is left behind.
bool IniReplaceFile(const std::string &path, std::string_view content);
