// The settings file: one INI file beside the program (or, for a program
// installed where the user cannot write, in the user's configuration folder).
//
// A self-contained INI reader and writer with the semantics of the Windows
// profile functions:
// - a section starts with a line "[name]"; a value is a line "key=value";
//   lines before the first section, blank lines and lines starting with ";"
//   belong to no key;
// - section and key names match without regard to letter case (ASCII letters
//   only; other bytes compare as they are); blanks and tabs around names and
//   values are not part of them, nor is one pair of matching quotes (double
//   or single) around a value;
// - the first section of a name and the first key of a name in it count;
// - lines may end in CR LF or LF; lines this class writes end in CR LF;
// - bytes are stored as they are: no code-page conversion, so UTF-8 (or any
//   8-bit) text round-trips unchanged.
//
// Nothing is cached: every read reads the file, every write rewrites it at
// once. A write never leaves a half-written file: the new content goes to a
// temporary file in the same folder, is flushed to disk and then renamed over
// the settings file (keeping its mode and, where permitted, its owner); a
// read-only file is never replaced: the write fails. Every line the write does
// not concern is kept byte for byte, whatever it holds (NUL bytes and other
// garbage included); a last line without a line end gets CR LF before anything
// is appended after it.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

// The window whose placement is stored: the main window implements it.
// States: 0 normal, 1 minimized, 2 maximized. Sizes are outer sizes, pixels.
class PlacementWindow {
public:
  virtual ~PlacementWindow() = default;
  virtual int WindowState() const = 0;
  virtual void SetWindowState(int state) = 0;
  virtual int Left() const = 0;
  virtual void SetLeft(int value) = 0;
  virtual int Top() const = 0;
  virtual void SetTop(int value) = 0;
  virtual int Width() const = 0;
  virtual void SetWidth(int value) = 0;
  virtual int Height() const = 0;
  virtual void SetHeight(int value) = 0;
  // True only for the ordinary resizable border (a resizable tool-window
  // border does not count).
  virtual bool HasResizableBorder() const = 0;
};

class TMIniFile {
public:
  // Longest value ReadString returns, in characters (UTF-8 code points; a
  // byte that is not part of one counts as one); a longer one is cut between
  // two characters.
  static constexpr std::size_t kMaxValueLength = 2047;

  // Binds to the program file's name with its extension replaced by ".ini"
  // (".ini" appended when it has none), in SettingsFolder() (made when
  // missing). A missing file is created holding
  // " \r\n". Throws EInOutError naming the cause ("File access denied",
  // "Path not found", "Disk full", ...) when it cannot be created.
  TMIniFile();
  // The same with an explicit path (made absolute against the working folder).
  explicit TMIniFile(const std::filesystem::path &path);
  // Every write is already on disk when it returns: nothing left to flush.
  ~TMIniFile() = default;

  TMIniFile(const TMIniFile &) = delete;
  TMIniFile &operator=(const TMIniFile &) = delete;

  // The file's full path.
  const std::string &FileName() const { return FFileName; }

  // The value, or `defaultValue` when the section or key is missing or the
  // file cannot be read. At most kMaxValueLength characters are returned.
  std::string ReadString(const std::string &section, const std::string &key,
                         const std::string &defaultValue) const;
  // The value, blanks around it aside, read as a signed decimal, or as
  // hexadecimal after "0x", "0X" or "$" (up to FFFFFFFF, taken as a 32-bit
  // pattern: $FFFFFFFF is -1). Missing, empty, not a number or out of the
  // 32-bit range: `defaultValue`.
  int32_t ReadInteger(const std::string &section, const std::string &key,
                      int32_t defaultValue) const;

  // Stores the value at once: replaces the key's line in place, or adds it
  // after the last key line of the section, or adds the section at the end of
  // the file. A value is cut at its first CR or LF (a line break in it would
  // split the line); section and key names are cut at a CR or LF and at "]"
  // (section) or "=" (key). A value with blanks around it, or within a pair
  // of matching quotes, is written within double quotes, so that it reads
  // back as it was. Throws EIniFileException "Unable to write to <full path>"
  // when the file cannot be rewritten or is read-only (see IniReplaceFile);
  // the file then stays as it was.
  void WriteString(const std::string &section, const std::string &key, const std::string &value);
  // WriteString of the value as decimal text.
  void WriteInteger(const std::string &section, const std::string &key, int32_t value);

  // Reads the placement from `section` and applies it: "State" (outside 0..2
  // counts as 0); nothing more when the window is then maximized; "Left" and
  // "Top" (below 0 becomes 0); for a resizable border only, "Width" and
  // "Height" (below 0 becomes 100). Each default is the window's current value.
  void LoadPlacement(const std::string &section, PlacementWindow &window) const;
  // Writes "State", "Left", "Top", "Width", "Height", in this order, whatever
  // the window's state and border.
  void SavePlacement(const std::string &section, const PlacementWindow &window);

private:
  std::string FFileName;
};

// The settings file's path for a program file: its extension replaced by ".ini".
std::filesystem::path SettingsPathFor(const std::filesystem::path &programFile);
