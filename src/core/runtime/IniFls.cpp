#include "runtime/IniFls.h"

#include "runtime/Exceptions.h"
#include "runtime/IniFlsFile.h"
#include "runtime/ProgramPath.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace {

constexpr std::string_view kLineEnd = "\r\n";
// What a freshly created file holds: one line with one blank.
constexpr std::string_view kNewFileContent = " \r\n";

constexpr char kStateKey[] = "State";
constexpr char kLeftKey[] = "Left";
constexpr char kTopKey[] = "Top";
constexpr char kWidthKey[] = "Width";
constexpr char kHeightKey[] = "Height";
constexpr int kMaximized = 2;
constexpr int kSizeWhenNegative = 100;

// One line of the file as views into its content; `eol` is "\r\n", "\n", "\r"
// or empty (the last line without a line end), kept so that lines a write does
// not concern come out byte for byte.
struct Line {
  std::string_view Text;
  std::string_view Eol;
};

std::vector<Line> SplitLines(std::string_view content) {
  std::vector<Line> lines;
  std::size_t start = 0;
  while (start < content.size()) {
    const std::size_t lf = content.find('\n', start);
    const std::size_t end = lf == std::string_view::npos ? content.size() : lf + 1;
    std::string_view whole = content.substr(start, end - start);
    std::size_t textLength = whole.size();
    if (textLength > 0 && whole[textLength - 1] == '\n')
      --textLength;
    if (textLength > 0 && whole[textLength - 1] == '\r')
      --textLength;
    lines.push_back({whole.substr(0, textLength), whole.substr(textLength)});
    start = end;
  }
  return lines;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// ASCII case folding only: bytes above 127 compare as they are.
char FoldCase(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool SameName(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (FoldCase(a[i]) != FoldCase(b[i]))
      return false;
  return true;
}

// "[name]" (blanks allowed around and inside the brackets): the name.
std::optional<std::string_view> SectionOf(std::string_view text) {
  text = Trim(text);
  if (text.empty() || text.front() != '[')
    return std::nullopt;
  const std::size_t close = text.find(']');
  if (close == std::string_view::npos)
    return std::nullopt;
  return Trim(text.substr(1, close - 1));
}

bool IsComment(std::string_view text) {
  text = Trim(text);
  return !text.empty() && text.front() == ';';
}

bool IsContent(std::string_view text) {
  return !Trim(text).empty() && !IsComment(text);
}

struct KeyValue {
  std::string_view Key;
  std::string_view Value;
};

std::optional<KeyValue> KeyValueOf(std::string_view text) {
  if (IsComment(text) || SectionOf(text))
    return std::nullopt;
  const std::size_t equals = text.find('=');
  if (equals == std::string_view::npos)
    return std::nullopt;
  return KeyValue{Trim(text.substr(0, equals)), Trim(text.substr(equals + 1))};
}

// Where a key stands (or would go) in the lines of a file.
struct Location {
  std::optional<std::size_t> SectionLine;
  // The line a new key goes after: the section's last content line, or its
  // header when it has none.
  std::size_t LastContentLine = 0;
  std::optional<std::size_t> KeyLine;
  KeyValue Found;
};

Location Locate(const std::vector<Line> &lines, std::string_view section, std::string_view key) {
  Location where;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    const std::string_view text = lines[i].Text;
    if (const auto name = SectionOf(text)) {
      if (where.SectionLine)
        break; // only the first section of the name counts
      if (SameName(*name, section)) {
        where.SectionLine = i;
        where.LastContentLine = i;
      }
      continue;
    }
    if (!where.SectionLine)
      continue;
    if (IsContent(text))
      where.LastContentLine = i;
    if (!where.KeyLine) {
      if (const auto pair = KeyValueOf(text); pair && SameName(pair->Key, key)) {
        where.KeyLine = i;
        where.Found = *pair;
      }
    }
  }
  return where;
}

bool IsQuote(char c) {
  return c == '"' || c == '\'';
}

// A value within one pair of matching quotes, double or single, is read
// without them, as the profile functions read it.
std::string_view Unquoted(std::string_view value) {
  if (value.size() >= 2 && IsQuote(value.front()) && value.back() == value.front())
    return value.substr(1, value.size() - 2);
  return value;
}

// A value that a read would change (outer blanks trimmed, outer quotes taken
// off) is written within one more pair of quotes, so that it reads back as it
// was.
std::string Quoted(std::string_view value) {
  const bool trimmed = !value.empty() && (IsBlank(value.front()) || IsBlank(value.back()));
  if (!trimmed && Unquoted(value).size() == value.size())
    return std::string(value);
  return '"' + std::string(value) + '"';
}

// The length of the character at the start of `text`: a whole UTF-8 sequence,
// or one byte for a byte that does not start one.
std::size_t CharacterLength(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text.front());
  const std::size_t length = lead >= 0xF0 && lead <= 0xF4   ? 4
                             : lead >= 0xE0 && lead <= 0xEF ? 3
                             : lead >= 0xC2 && lead <= 0xDF ? 2
                                                            : 1;
  if (length > text.size())
    return 1;
  for (std::size_t i = 1; i < length; ++i)
    if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80)
      return 1;
  return length;
}

// At most `characters` characters of `text`, never a part of one.
std::string_view FirstCharacters(std::string_view text, std::size_t characters) {
  std::size_t end = 0;
  for (std::size_t n = 0; n < characters && end < text.size(); ++n)
    end += CharacterLength(text.substr(end));
  return text.substr(0, end);
}

std::string_view CutAtAny(std::string_view text, std::string_view stops) {
  return text.substr(0, std::min(text.size(), text.find_first_of(stops)));
}

std::string CleanSection(std::string_view section) {
  return std::string(Trim(CutAtAny(section, std::string_view("\r\n]", 3))));
}
std::string CleanKey(std::string_view key) {
  return std::string(Trim(CutAtAny(key, std::string_view("\r\n=", 3))));
}

// Signed decimal, or hexadecimal after "0x", "0X" or "$" as a 32-bit pattern.
std::optional<int32_t> ParseInteger(std::string_view text) {
  std::size_t hexStart = 0;
  if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    hexStart = 2;
  else if (!text.empty() && text[0] == '$')
    hexStart = 1;
  if (hexStart > 0) {
    const std::string_view hex = text.substr(hexStart);
    if (hex.empty())
      return std::nullopt;
    uint64_t value = 0;
    for (const char c : hex) {
      int digit;
      if (c >= '0' && c <= '9')
        digit = c - '0';
      else if (c >= 'a' && c <= 'f')
        digit = c - 'a' + 10;
      else if (c >= 'A' && c <= 'F')
        digit = c - 'A' + 10;
      else
        return std::nullopt;
      value = value * 16 + static_cast<uint64_t>(digit);
      if (value > 0xFFFFFFFFu)
        return std::nullopt;
    }
    return static_cast<int32_t>(static_cast<uint32_t>(value));
  }

  bool negative = false;
  if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
    negative = text[0] == '-';
    text.remove_prefix(1);
  }
  if (text.empty())
    return std::nullopt;
  const int64_t limit = negative ? int64_t{1} << 31 : (int64_t{1} << 31) - 1;
  int64_t value = 0;
  for (const char c : text) {
    if (c < '0' || c > '9')
      return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > limit)
      return std::nullopt;
  }
  return static_cast<int32_t>(negative ? -value : value);
}

std::string FullPath(const std::filesystem::path &path) {
  std::error_code error;
  const auto absolute = std::filesystem::absolute(path, error);
  return Utf8FromPath(error ? path : absolute);
}

} // namespace

std::filesystem::path SettingsPathFor(const std::filesystem::path &programFile) {
  std::filesystem::path path = programFile;
  path.replace_extension(".ini");
  return path;
}

namespace {
std::filesystem::path ProgramSettingsPath() {
  const std::filesystem::path program = ProgramFilePath();
  if (program.empty())
    throw EInOutError("Program file not found");
  const std::filesystem::path folder = SettingsFolder();
  // The user's configuration folder may not exist yet; if it cannot be made,
  // creating the file names the cause.
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  return folder / SettingsPathFor(program).filename();
}
} // namespace

TMIniFile::TMIniFile() : TMIniFile(ProgramSettingsPath()) {}

TMIniFile::TMIniFile(const std::filesystem::path &path) {
  if (path.empty() || !path.has_filename())
    throw EInOutError("Invalid filename");
  FFileName = FullPath(path);
  IniCreateFile(FFileName, kNewFileContent);
}

std::string TMIniFile::ReadString(const std::string &section, const std::string &key,
                                  const std::string &defaultValue) const {
  std::string content;
  if (IniReadFile(FFileName, content) != IniReadResult::Ok)
    return defaultValue;
  const auto lines = SplitLines(content);
  const Location where = Locate(lines, CleanSection(section), CleanKey(key));
  if (!where.KeyLine)
    return defaultValue;
  return std::string(FirstCharacters(Unquoted(where.Found.Value), kMaxValueLength));
}

int32_t TMIniFile::ReadInteger(const std::string &section, const std::string &key,
                               int32_t defaultValue) const {
  return ParseInteger(Trim(ReadString(section, key, std::string()))).value_or(defaultValue);
}

void TMIniFile::WriteString(const std::string &section, const std::string &key,
                            const std::string &value) {
  const std::string cleanSection = CleanSection(section);
  const std::string cleanKey = CleanKey(key);
  const std::string cleanValue = Quoted(CutAtAny(value, "\r\n"));
  const auto failed = [this] { return EIniFileException("Unable to write to " + FFileName); };

  std::string content;
  switch (IniReadFile(FFileName, content)) {
  case IniReadResult::Ok:
    break;
  case IniReadResult::Missing:
    content.clear();
    break;
  case IniReadResult::Failed:
    throw failed(); // rewriting what cannot be read would lose it
  }

  const auto lines = SplitLines(content);
  const Location where = Locate(lines, cleanSection, cleanKey);
  std::string out;
  out.reserve(content.size() + cleanSection.size() + cleanKey.size() + cleanValue.size() + 8);
  const auto keyLine = [&](std::string_view keyText) {
    out.append(keyText).append("=").append(cleanValue);
  };

  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (where.KeyLine == i) {
      keyLine(where.Found.Key); // the file's own spelling of the key stays
      out.append(lines[i].Eol);
      continue;
    }
    out.append(lines[i].Text);
    const bool insertAfter = !where.KeyLine && where.SectionLine && where.LastContentLine == i;
    const bool lastLine = i + 1 == lines.size();
    out.append(lines[i].Eol);
    if (insertAfter || (lastLine && !where.SectionLine)) {
      // Something follows: a line without its LF would swallow it.
      if (lines[i].Eol.empty())
        out.append(kLineEnd);
      else if (lines[i].Eol == "\r")
        out.append("\n");
    }
    if (insertAfter) {
      keyLine(cleanKey);
      out.append(kLineEnd);
    }
  }
  if (!where.SectionLine) {
    out.append("[").append(cleanSection).append("]").append(kLineEnd);
    keyLine(cleanKey);
    out.append(kLineEnd);
  }

  if (!IniReplaceFile(FFileName, out))
    throw failed();
}

void TMIniFile::WriteInteger(const std::string &section, const std::string &key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TMIniFile::LoadPlacement(const std::string &section, PlacementWindow &window) const {
  int state = ReadInteger(section, kStateKey, window.WindowState());
  if (state < 0 || state > kMaximized)
    state = 0;
  window.SetWindowState(state);
  if (window.WindowState() == kMaximized)
    return;

  window.SetLeft(ReadInteger(section, kLeftKey, window.Left()));
  if (window.Left() < 0)
    window.SetLeft(0);
  window.SetTop(ReadInteger(section, kTopKey, window.Top()));
  if (window.Top() < 0)
    window.SetTop(0);
  if (!window.HasResizableBorder())
    return;

  window.SetWidth(ReadInteger(section, kWidthKey, window.Width()));
  if (window.Width() < 0)
    window.SetWidth(kSizeWhenNegative);
  window.SetHeight(ReadInteger(section, kHeightKey, window.Height()));
  if (window.Height() < 0)
    window.SetHeight(kSizeWhenNegative);
}

void TMIniFile::SavePlacement(const std::string &section, const PlacementWindow &window) {
  const int state = window.WindowState();
  WriteInteger(section, kStateKey, state >= 0 && state <= kMaximized ? state : 0);
  WriteInteger(section, kLeftKey, window.Left());
  WriteInteger(section, kTopKey, window.Top());
  WriteInteger(section, kWidthKey, window.Width());
  WriteInteger(section, kHeightKey, window.Height());
}
