// Intel HEX, as the PIC24 and dsPIC33 tool chains write it, to and from the
// firmware image.
//
// The tool chains put the instruction word at program address a at hex byte
// address 2a, as 4 bytes: low, middle, upper, and a "phantom" byte that is
// always 0. Hex byte h is therefore byte h % 4 of the word at program address
// (h / 4) * 2, and it goes to image byte (h / 4) * 3 + h % 4; the phantom byte
// has no place in the image. Words the file does not set are erased flash,
// FF FF FF. The image ends with the last page that holds data.
//
// Records: 00 data, 01 end of file, 04 extended linear address (the upper 16
// bits of the address), 02 extended segment address (base = value * 16; the
// record's offsets wrap within 64 KB), 03 and 05 start addresses (ignored: the
// device starts at its own reset vector). Lines may end in LF or CR LF; blank
// lines are skipped; whatever follows the end record is not read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "loader/FirmwareImage.h"
#include "runtime/Exceptions.h"

// Program memory ends where data EEPROM begins (0x7FF000 ... 0x7FFFFF); from
// 0x800000 on lie the configuration registers, device ID and the like.
inline constexpr uint32_t kDataEepromStart = 0x7FF000;
inline constexpr uint32_t kConfigurationStart = 0x800000;

enum class HexWarningKind {
  BootloaderPages,     // placed in pages 2 to 4, which are never sent
  DataEeprom,          // beyond program memory: not placed
  ConfigurationMemory, // beyond program memory: not placed
  PhantomByte,         // a phantom byte that is not 0: dropped
  NoProgramWords,      // nothing fell into program memory: the image has no page (the last kind)
};

// Data the image cannot carry as the file meant it. Each kind makes one
// warning that spans every line and word of that kind.
struct HexWarning {
  HexWarningKind Kind = HexWarningKind::NoProgramWords;
  int FirstLine = 0, LastLine = 0;            // lines of the file, counted from 1
  uint32_t FirstAddress = 0, LastAddress = 0; // program addresses of the first and last word
  size_t Bytes = 0;                           // hex data bytes concerned
};

// A damaged file: a record that is not one, a wrong checksum, no end record.
class EHexFileError : public Exception {
public:
  EHexFileError(int line, const std::string &problem);
  int Line; // counted from 1; for a missing end record, the file's last line
};

struct PackedHex {
  FirmwareImage Image;
  std::vector<HexWarning> Warnings; // in the order each kind first occurs
};

// Turns the file's text into an image; with a device code the image gets the
// trailer (device code, version mark, 0). Raises EHexFileError for a damaged
// file; nothing is half-done then.
PackedHex PackIntelHex(std::string_view text, std::optional<uint8_t> deviceCode);

// Reads the file (EInOutError when it cannot) and packs it.
PackedHex PackIntelHexFile(const std::filesystem::path &path, std::optional<uint8_t> deviceCode);

// The image's words back as Intel HEX: one extended linear address record
// for each 64 KB of hex addresses used, data records of up to 16 bytes
// (4 words, phantom bytes 0), erased words (FF FF FF) left out, and the end
// record. Pages 2 to 4 are written like any other; the trailer and an ignored
// remainder have no place in the file.
std::string UnpackIntelHex(const FirmwareImage &image);
