// korvalen-cli info: the layout of an image, page by page, as the load sends
// it.
#include <cstdio>
#include <iostream>

#include "cli/Command.h"
#include "cli/ExitCodes.h"
#include "cli/ImageFile.h"
#include "cli/JsonEvents.h"
#include "cli/LinkOptions.h"
#include "cli/RunReport.h"
#include "cli/SerialOptions.h"
#include "loader/LoadSequence.h"

namespace {
class InfoCommand final : public Command {
public:
  void AddTo(CLI::App &app) override {
    FSubcommand = app.add_subcommand("info", "Show the layout of a firmware image");
    FSubcommand->add_option("FILE", FFile, "Firmware image (.rom)")->required();
    AddJsonFlag(*FSubcommand, FJson);
    AddSerialOptions(*FSubcommand, FSerial);
  }

  int Run(const std::string &) override {
    RunReport report({}, FJson);
    FirmwareImage image;
    if (const int refused = ReadImage(FFile, image); refused != kExitDone)
      return report.End(refused);
    std::optional<SerialLayout> serial;
    if (!FSerial.Address.empty()) {
      serial = SerialLayoutFor(FSerial, image);
      if (!serial)
        return kExitUsage;
    }
    if (FJson) {
      JsonEvents events(std::cout, {});
      for (int p = 1; p <= image.PageCount(); ++p)
        events.Write("page", {{"page", p},
                              {"address", FirmwareImage::PageAddress(p)},
                              {"sent", FirmwareImage::IsPageSent(p)}});
      Json trailer = nullptr;
      if (image.HasTrailer()) {
        const TrailerBytes bytes = image.Trailer();
        trailer = {{"device_code", bytes[0]}, {"version_mark", bytes[1]}, {"byte2", bytes[2]}};
      }
      int sent = 0;
      for (int p = 1; p <= image.PageCount(); ++p)
        sent += FirmwareImage::IsPageSent(p) ? 1 : 0;
      events.Write("image", {{"size", image.Size()},
                             {"pages", image.PageCount()},
                             {"pages_sent", sent},
                             {"ignored_bytes", image.IgnoredBytes()},
                             {"trailer", trailer}});
      if (serial) {
        events.Write("serial", {{"address", serial->Address},
                                {"bytes", serial->Bytes},
                                {"format", FSerial.Format},
                                {"image_offsets", SerialOffsets(*serial)},
                                {"page", SerialPage(*serial)}});
      }
      return kExitDone;
    }
    std::cout << "Size: " << image.Size() << " bytes\n"
              << "Whole pages: " << image.PageCount() << " of " << kPageSize << " bytes\n";
    int sent = 0;
    for (int p = 1; p <= image.PageCount(); ++p) {
      char line[160];
      if (FirmwareImage::IsPageSent(p)) {
        ++sent;
        std::snprintf(line, sizeof line, "  page %d: sent, program address 0x%06X%s\n", p,
                      FirmwareImage::PageAddress(p),
                      p == 1 ? " (bytes 0-5 replaced by the device's reset vector)" : "");
      } else {
        std::snprintf(line, sizeof line, "  page %d: not sent\n", p);
      }
      std::cout << line;
    }
    std::cout << "Pages sent: " << sent << "\n"
              << "Ignored remainder: " << image.IgnoredBytes() << " bytes\n";
    if (image.HasTrailer()) {
      const TrailerBytes trailer = image.Trailer();
      char text[96];
      std::snprintf(text, sizeof text,
                    "Trailer: device code %u (0x%02X), version mark 0x%02X%s, byte 2 0x%02X\n",
                    trailer[0], trailer[0], trailer[1], trailer[1] == kVersionMark ? " ('e')" : "",
                    trailer[2]);
      std::cout << text;
    } else {
      std::cout << "Trailer: none (loaded without a check against the device)\n";
    }
    if (serial)
      std::cout << "Serial number: " << serial->Bytes
                << (serial->Format == SerialFormat::Ascii ? " decimal digits"
                                                          : " bytes, least significant first")
                << ", into " << DescribeSerialPlace(*serial) << "\n";
    std::cout.flush();
    return kExitDone;
  }

private:
  std::string FFile;
  bool FJson = false;
  SerialOptions FSerial;
};
} // namespace

std::unique_ptr<Command> MakeInfoCommand() {
  return std::make_unique<InfoCommand>();
}
