// The Intel HEX reader, with the whole input as the file's text.
// Checked: a damaged file raises EHexFileError with a line inside the file
// and nothing else; otherwise the image is whole pages (and the trailer when
// asked for), and its words written back as Intel HEX and read again give the
// same image, short only of trailing pages that hold nothing but erased words.
#include <algorithm>
#include <cstdlib>

#include "loader/IntelHex.h"

namespace {
void Check(bool condition) {
  if (!condition)
    std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  const std::string_view text(reinterpret_cast<const char *>(data), size);
  const auto lines = static_cast<int>(std::count(text.begin(), text.end(), '\n')) + 1;
  const std::optional<uint8_t> deviceCode = size % 2 ? std::optional<uint8_t>(97) : std::nullopt;
  PackedHex packed;
  try {
    packed = PackIntelHex(text, deviceCode);
  } catch (const EHexFileError &failure) {
    Check(failure.Line >= 1 && failure.Line <= lines);
    return 0;
  }
  const FirmwareImage &image = packed.Image;
  Check(image.IgnoredBytes() == 0);
  Check(image.HasTrailer() == deviceCode.has_value());
  Check((image.PageCount() == 0) ==
        std::any_of(packed.Warnings.begin(), packed.Warnings.end(),
                    [](const HexWarning &w) { return w.Kind == HexWarningKind::NoProgramWords; }));
  for (const HexWarning &warning : packed.Warnings)
    Check(warning.FirstLine <= warning.LastLine && warning.FirstAddress <= warning.LastAddress);

  const PackedHex again = PackIntelHex(UnpackIntelHex(image), deviceCode);
  const std::vector<uint8_t> &before = image.Data();
  const std::vector<uint8_t> &after = again.Image.Data();
  const size_t pages = static_cast<size_t>(again.Image.PageCount()) * kPageSize;
  Check(again.Image.PageCount() <= image.PageCount());
  Check(std::equal(after.begin(), after.begin() + static_cast<long>(pages), before.begin()));
  const size_t end = static_cast<size_t>(image.PageCount()) * kPageSize;
  Check(std::all_of(before.begin() + static_cast<long>(pages),
                    before.begin() + static_cast<long>(end), [](uint8_t b) { return b == 0xFF; }));
  return 0;
}
