// The settings file against any file content and any names and values.
// Input (FuzzedDataProvider): from the end a flags byte, a pick byte and a
// 32-bit number; from the front the section, the key and the value to write,
// each as a string ended by a backslash and another character, and then the
// file's content.
//   flags bit 0: the section is one named in the file (by pick)
//         bit 1: the key is one named in the file (by pick)
//         bit 2: WriteInteger of the number instead of WriteString of the value
// Checked: reads give the same as before for every key but the one written;
// the written value reads back as it was up to its first CR or LF (quoted
// where a read would trim or unquote it), cut to 2047 characters; writing it again changes no byte;
// ReadInteger agrees with the text ReadString gives; no temporary file stays.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string_view>
#include <unistd.h>

#include "FuzzFakes.h"
#include "runtime/Exceptions.h"
#include "runtime/IniFls.h"

namespace fs = std::filesystem;

namespace {

// A value no read of a present key gives in these tests.
const std::string kMissing("\x01missing\x02", 9);

// A folder of our own under /dev/shm (memory: the writes sync to disk),
// removed at exit. Never destroyed: the exit handler still needs it.
const fs::path &Folder() {
  static const fs::path *const folder = [] {
    std::string pattern =
        (fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string()) +
        std::string("/korvalen-fuzz-ini-XXXXXX");
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    std::atexit([] { fs::remove_all(Folder()); });
    return new fs::path(pattern);
  }();
  return *folder;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
    text.remove_suffix(1);
  return text;
}

std::string_view CutAt(std::string_view text, std::string_view stops) {
  return text.substr(0, std::min(text.size(), text.find_first_of(stops)));
}

std::string Folded(std::string_view text) {
  std::string folded(text);
  for (char &c : folded)
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
  return folded;
}

// Names as the file stores them, folded for comparing.
std::string SectionName(std::string_view s) {
  return Folded(Trim(CutAt(s, std::string_view("\r\n]", 3))));
}
std::string KeyName(std::string_view k) {
  return Folded(Trim(CutAt(k, std::string_view("\r\n=", 3))));
}

// The bytes that do not continue a UTF-8 sequence: the characters of valid
// UTF-8, and never more than the characters of any text.
size_t Leads(std::string_view text) {
  return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

// A later read of a written value gives it up to its first line break, blanks
// and quotes as they were, cut to 2047 characters and never inside one.
void CheckReadBack(std::string_view read, std::string_view value) {
  const std::string_view line = CutAt(value, "\r\n");
  FUZZ_CHECK(line.substr(0, read.size()) == read);
  if (read.size() == line.size())
    return;
  FUZZ_CHECK(read.size() >= TMIniFile::kMaxValueLength);
  FUZZ_CHECK(Leads(read) <= TMIniFile::kMaxValueLength);
  // In a valid text the cut stands between two characters.
  if (Leads(line) == line.size() || (static_cast<unsigned char>(line[read.size()]) & 0xC0) != 0x80)
    return;
  bool valid = true;
  for (size_t i = 0; i < line.size() && valid;) {
    const auto lead = static_cast<unsigned char>(line[i]);
    const size_t length = lead < 0x80                    ? 1
                          : lead >= 0xC2 && lead <= 0xDF ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    valid = length > 0 && i + length <= line.size();
    for (size_t k = 1; valid && k < length; ++k)
      valid = (static_cast<unsigned char>(line[i + k]) & 0xC0) == 0x80;
    i += length;
  }
  FUZZ_CHECK(!valid);
}

// Names the file seems to hold, found naively: candidates, not an oracle.
void NamesInFile(std::string_view content, std::vector<std::string> &sections,
                 std::vector<std::string> &keys) {
  size_t start = 0;
  while (start < content.size() && sections.size() + keys.size() < 24) {
    size_t end = content.find('\n', start);
    if (end == std::string_view::npos)
      end = content.size();
    std::string_view line = Trim(content.substr(start, end - start));
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (!line.empty() && line.front() == '[' && line.find(']') != std::string_view::npos)
      sections.emplace_back(line.substr(1, line.find(']') - 1));
    else if (line.find('=') != std::string_view::npos)
      keys.emplace_back(line.substr(0, line.find('=')));
    start = end + 1;
  }
}

// The documented integer reading: signed decimal, or a 32-bit pattern after
// "0x", "0X" or "$".
std::optional<int32_t> Integer(std::string_view text) {
  int base = 10;
  bool negative = false;
  if (text.starts_with("0x") || text.starts_with("0X")) {
    base = 16;
    text.remove_prefix(2);
  } else if (text.starts_with("$")) {
    base = 16;
    text.remove_prefix(1);
  } else if (text.starts_with("-") || text.starts_with("+")) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.front() == '-' || text.front() == '+')
    return std::nullopt;
  uint64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  if (error != std::errc() || end != text.data() + text.size())
    return std::nullopt;
  if (base == 16)
    return value <= 0xFFFFFFFFu ? std::optional<int32_t>(static_cast<int32_t>(value))
                                : std::nullopt;
  if (value > (negative ? 2147483648u : 2147483647u))
    return std::nullopt;
  return static_cast<int32_t>(negative ? -static_cast<int64_t>(value)
                                       : static_cast<int64_t>(value));
}

std::string FileBytes(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

struct Probe {
  std::string Section, Key;
};

void Run(const uint8_t *data, size_t size) {
  FuzzedDataProvider input(data, size);
  const uint8_t flags = input.ConsumeIntegral<uint8_t>();
  const uint8_t pick = input.ConsumeIntegral<uint8_t>();
  const int32_t number = input.ConsumeIntegral<int32_t>();
  std::string section = input.ConsumeRandomLengthString(64);
  std::string key = input.ConsumeRandomLengthString(64);
  const std::string value = input.ConsumeRandomLengthString(4096);
  const std::string content = input.ConsumeRemainingBytesAsString();

  const fs::path path = Folder() / "korvalen.ini";
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    FUZZ_CHECK(out.good());
  }

  std::vector<std::string> sections, keys;
  NamesInFile(content, sections, keys);
  if ((flags & 1) && !sections.empty())
    section = sections[pick % sections.size()];
  if ((flags & 2) && !keys.empty())
    key = keys[pick / 16 % keys.size()];

  std::vector<Probe> probes{{section, key}};
  // Enough pairs to see a write disturb its neighbours, few enough to stay fast.
  for (size_t s = 0; s < sections.size() && s < 4; ++s)
    for (size_t k = 0; k < keys.size() && k < 6; ++k)
      probes.push_back({sections[s], keys[k]});
  probes.push_back({section, "Port"});
  probes.push_back({"RS232", key});

  TMIniFile ini(path);
  std::vector<std::string> before;
  for (const Probe &probe : probes) {
    before.push_back(ini.ReadString(probe.Section, probe.Key, kMissing));
    const std::string &text = before.back();
    // A read never gives more than 2047 characters, and ReadInteger reads the same text.
    FUZZ_CHECK(text == kMissing || Leads(text) <= TMIniFile::kMaxValueLength);
    const std::optional<int32_t> expected = text == kMissing ? std::nullopt : Integer(text);
    FUZZ_CHECK(ini.ReadInteger(probe.Section, probe.Key, -12345) == expected.value_or(-12345));
  }

  const bool asInteger = (flags & 4) != 0;
  try {
    if (asInteger)
      ini.WriteInteger(section, key, number);
    else
      ini.WriteString(section, key, value);
  } catch (const EIniFileException &) {
    // Only a file that cannot be replaced refuses a write; ours always can.
    FUZZ_CHECK(false);
  }
  const std::string written = FileBytes(path);
  // Lines the write does not concern stay byte for byte: apart from one
  // common prefix and suffix, at most one line of the old file was touched
  // and at most a line end, a section header and a key line were added.
  {
    size_t prefix = 0;
    while (prefix < content.size() && prefix < written.size() && content[prefix] == written[prefix])
      ++prefix;
    size_t suffix = 0;
    while (suffix < content.size() - prefix && suffix < written.size() - prefix &&
           content[content.size() - 1 - suffix] == written[written.size() - 1 - suffix])
      ++suffix;
    const std::string_view oldPart =
        std::string_view(content).substr(prefix, content.size() - prefix - suffix);
    const std::string_view newPart =
        std::string_view(written).substr(prefix, written.size() - prefix - suffix);
    FUZZ_CHECK(std::count(oldPart.begin(), oldPart.end(), '\n') <= 1);
    FUZZ_CHECK(std::count(newPart.begin(), newPart.end(), '\n') <= 3);
  }

  // A key line of the file starts with its name: a name that begins like a
  // comment or a section header cannot be read back from it (the program's
  // own names never do), and the latter would even open a section.
  const std::string keyName = KeyName(key);
  const bool readable = keyName.empty() || (keyName.front() != ';' && keyName.front() != '[');
  if (readable) {
    const std::string read = ini.ReadString(section, key, kMissing);
    if (asInteger) {
      FUZZ_CHECK(read == std::to_string(number));
      FUZZ_CHECK(ini.ReadInteger(section, key, number ^ 1) == number);
    } else {
      CheckReadBack(read, value);
    }
  }
  for (size_t i = 0; readable && i < probes.size(); ++i) {
    const bool same =
        SectionName(probes[i].Section) == SectionName(section) && KeyName(probes[i].Key) == keyName;
    if (!same)
      FUZZ_CHECK(ini.ReadString(probes[i].Section, probes[i].Key, kMissing) == before[i]);
  }

  // Writing the same again is a replacement in place that changes nothing.
  if (readable) {
    if (asInteger)
      ini.WriteInteger(section, key, number);
    else
      ini.WriteString(section, key, value);
    FUZZ_CHECK(FileBytes(path) == written);
  }

  // The rewrite went through a temporary file that is gone now.
  size_t files = 0;
  for (const auto &entry : fs::directory_iterator(Folder())) {
    (void)entry;
    ++files;
  }
  FUZZ_CHECK(files == 1);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Run(data, size);
  return 0;
}
