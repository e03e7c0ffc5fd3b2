#include "cli/HexCommands.h"

#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>

#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/ImageFile.h"
#include "loader/LoadSequence.h"
#include "runtime/Hooks.h"
#include "runtime/ProgramPath.h"

namespace {
namespace fs = std::filesystem;

constexpr const char *kByteOrder =
    "Intel HEX as PIC24 and dsPIC33 tool chains write it: the instruction word at program\n"
    "address a stands at hex byte address 2a as 4 bytes: low, middle, upper, and a phantom\n"
    "byte that is always 0. In the image the word stands at byte (a / 2) * 3 as low, middle,\n"
    "upper; a page of 1536 bytes holds 512 words (1024 program addresses). Words the file\n"
    "does not set are erased flash, FF FF FF; the image ends with the last page that holds\n"
    "data.";

std::string Address(uint32_t address) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%06X", address);
  return text;
}

std::string Lines(const HexWarning &warning) {
  if (warning.FirstLine == warning.LastLine)
    return "line " + std::to_string(warning.FirstLine);
  return "lines " + std::to_string(warning.FirstLine) + "-" + std::to_string(warning.LastLine);
}

std::string Addresses(const HexWarning &warning) {
  if (warning.FirstAddress == warning.LastAddress)
    return "program address " + Address(warning.FirstAddress);
  return "program addresses " + Address(warning.FirstAddress) + "-" + Address(warning.LastAddress);
}

// The whole content, or nothing after saying why. A new file replaces the old
// only once it is complete, so a failed write leaves the old one as it was.
bool WriteOutput(const std::string &file, std::string_view content) {
  const fs::path path = PathFromUtf8(file);
  fs::path temporary = path;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.flush();
    if (!out) {
      std::error_code ignored;
      fs::remove(temporary, ignored);
      std::cerr << "Cannot write " << file << "." << std::endl;
      return false;
    }
  }
  std::error_code error;
  fs::rename(temporary, path, error);
  if (error) {
    fs::remove(temporary, error);
    std::cerr << "Cannot write " << file << "." << std::endl;
    return false;
  }
  return true;
}

// Writing over the input would lose it.
bool SameFile(const std::string &input, const std::string &output) {
  std::error_code error;
  return fs::equivalent(PathFromUtf8(input), PathFromUtf8(output), error);
}

// The packed file, or nothing after saying why.
std::optional<PackedHex> PackFile(const std::string &file, int deviceCode) {
  if (!ImageFileIsThere(file))
    return std::nullopt;
  try {
    PackedHex packed = PackIntelHexFile(
        PathFromUtf8(file),
        deviceCode ? std::optional<uint8_t>(static_cast<uint8_t>(deviceCode)) : std::nullopt);
    ReportHexWarnings(file, packed.Warnings);
    return packed;
  } catch (const EHexFileError &failure) {
    std::cerr << file << ": " << failure.what() << ". The file is damaged; nothing was made of it."
              << std::endl;
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
  }
  return std::nullopt;
}
} // namespace

CLI::Option *AddDeviceCodeOption(CLI::App &command, int &deviceCode,
                                 const std::string &description) {
  return command.add_option("--device-code", deviceCode, description)
      ->check(CLI::IsMember({int{kDeviceCodeA}, int{kDeviceCodeB}}));
}

bool IsIntelHexFile(const std::string &file) {
  // On the UTF-8 text itself: a Windows path's narrow form may not hold it.
  const size_t dot = file.find_last_of("./\\");
  std::string extension = dot != std::string::npos && file[dot] == '.' ? file.substr(dot) : "";
  for (char &c : extension)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension == ".hex";
}

std::string DescribeHexWarning(const HexWarning &warning) {
  const std::string where = Lines(warning) + ": " + Addresses(warning) + ": ";
  switch (warning.Kind) {
  case HexWarningKind::BootloaderPages:
    return where + "in pages 2 to 4, the bootloader's; kept in the image but never sent to the "
                   "device";
  case HexWarningKind::DataEeprom:
    return where + "data EEPROM, beyond program memory; not placed";
  case HexWarningKind::ConfigurationMemory:
    return where + "configuration memory, beyond program memory; not placed";
  case HexWarningKind::PhantomByte:
    return where + "phantom byte not 0 (" + std::to_string(warning.Bytes) +
           (warning.Bytes == 1 ? " byte" : " bytes") + "); dropped, the image has no place for it";
  case HexWarningKind::NoProgramWords:
    return "no word falls into program memory: the image has no page";
  }
  return {};
}

void ReportHexWarnings(const std::string &file, const std::vector<HexWarning> &warnings) {
  for (const HexWarning &warning : warnings)
    std::cerr << file << ": warning: " << DescribeHexWarning(warning) << std::endl;
}

std::optional<FirmwareImage> PackForLoad(const std::string &file, int deviceCode,
                                         const std::function<void(const std::string &)> &warned) {
  std::optional<PackedHex> packed = PackFile(file, deviceCode);
  if (!packed)
    return std::nullopt;
  if (warned)
    for (const HexWarning &warning : packed->Warnings)
      warned(file + ": " + DescribeHexWarning(warning));
  if (packed->Image.PageCount() == 0) {
    // Identify and Finish with nothing between would report a load done.
    std::cerr << file << ": nothing to load." << std::endl;
    return std::nullopt;
  }
  return std::move(packed->Image);
}

namespace {
class PackCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand("pack", "Turn an Intel HEX file into a firmware image (.rom)");
    FSubcommand->footer(kByteOrder);
    FSubcommand->add_option("HEX", FInput, "Intel HEX file")->required();
    FSubcommand->add_option("-o,--output", FOutput, "The image to write (.rom)")->required();
    auto *code = AddDeviceCodeOption(*FSubcommand, FDeviceCode,
                                     "Add the trailer (device code, 0x65, 0): the image then "
                                     "loads only into a device that reports this code");
    auto *none = FSubcommand->add_flag("--no-trailer", FNoTrailer,
                                       "No trailer (the default, said on purpose): the image "
                                       "loads into any device without a check");
    code->excludes(none);
    none->excludes(code);
  }

  int Run(const std::string &) override {
    if (SameFile(FInput, FOutput)) {
      std::cerr << "The output would replace the input." << std::endl;
      return kExitUsage;
    }
    const std::optional<PackedHex> packed = PackFile(FInput, FDeviceCode);
    if (!packed)
      return kExitFileProblem;
    const std::vector<uint8_t> &bytes = packed->Image.Data();
    if (!WriteOutput(FOutput,
                     std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size())))
      return kExitFileProblem;
    const int pages = packed->Image.PageCount();
    std::cout << FOutput << ": " << pages << (pages == 1 ? " page, " : " pages, ") << bytes.size()
              << " bytes";
    if (FDeviceCode)
      std::cout << ", trailer for device code " << FDeviceCode;
    std::cout << std::endl;
    if (!FDeviceCode && !FNoTrailer)
      std::cerr << "No trailer: the image loads into any device without a check "
                   "(--device-code adds one)."
                << std::endl;
    return kExitDone;
  }

private:
  std::string FInput, FOutput;
  int FDeviceCode = 0;
  bool FNoTrailer = false;
};

class UnpackCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand("unpack", "Write a firmware image's words back as Intel HEX");
    FSubcommand->footer(kByteOrder);
    FSubcommand->add_option("ROM", FInput, "Firmware image (.rom)")->required();
    FSubcommand->add_option("-o,--output", FOutput, "The Intel HEX file to write")->required();
  }

  int Run(const std::string &) override {
    if (SameFile(FInput, FOutput)) {
      std::cerr << "The output would replace the input." << std::endl;
      return kExitUsage;
    }
    FirmwareImage image;
    if (const int refused = ReadImage(FInput, image); refused != kExitDone)
      return refused;
    if (!WriteOutput(FOutput, UnpackIntelHex(image)))
      return kExitFileProblem;
    const int pages = image.PageCount();
    std::cout << FOutput << ": the words of " << pages << (pages == 1 ? " page" : " pages")
              << std::endl;
    if (image.HasTrailer()) {
      const TrailerBytes trailer = image.Trailer();
      std::cerr << "The trailer (device code " << int{trailer[0]}
                << ") has no place in Intel HEX: left out." << std::endl;
    }
    if (image.IgnoredBytes() != 0)
      std::cerr << "The last " << image.IgnoredBytes()
                << " bytes are no whole page and are never loaded: left out." << std::endl;
    return kExitDone;
  }

private:
  std::string FInput, FOutput;
};
} // namespace

std::unique_ptr<Command> MakePackCommand() {
  return std::make_unique<PackCommand>();
}

std::unique_ptr<Command> MakeUnpackCommand() {
  return std::make_unique<UnpackCommand>();
}
