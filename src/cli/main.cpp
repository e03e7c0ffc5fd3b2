// korvalen-cli: the system's core driven from the command line, for production
// lines, scripts and test rigs.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <iostream>

#include "cli/HexCommands.h"
#include "cli/Terminal.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"
#include "runtime/Hooks.h"

namespace {
struct LinkOptions {
  int Port = 0;
  std::string Device;
  int LineMode = 2;
  uint32_t Baud = 19200;
  double WaitSeconds = 0;
  bool Verbose = false;
};

void AddLinkOptions(CLI::App &command, LinkOptions &options) {
  auto *port = command.add_option("--port", options.Port, "Serial port number n of COMn")
                   ->check(CLI::Range(1, kMaxPort));
  auto *device = command.add_option("--device", options.Device, "Serial device path");
  port->excludes(device);
  device->excludes(port);
  command
      .add_option("--line-mode", options.LineMode,
                  "0: one device; 1: shared line; 2: RS-485 with echo, RTS switched")
      ->check(CLI::Range(0, 2))
      ->capture_default_str();
  command.add_option("--baud", options.Baud, "Line speed in bit/s")
      ->check(CLI::Range(kMinBaudRate, kMaxBaudRate))
      ->capture_default_str();
  command
      .add_option("--wait", options.WaitSeconds,
                  "Seconds to wait for the device to answer; 0 waits without limit")
      ->check(CLI::NonNegativeNumber)
      ->capture_default_str();
  command.add_flag("--verbose", options.Verbose, "Trace every frame sent and received");
}

// Opens the link as the options say; null after telling why it could not.
std::unique_ptr<TZor_RS> OpenLink(const LinkOptions &options) {
  auto platform =
      options.Device.empty() ? DefaultSerialPlatform() : SerialPlatformForDevice(options.Device);
  auto link = std::make_unique<TZor_RS>(nullptr, nullptr, platform);
  const int port = options.Device.empty() ? options.Port : 1;
  if (link->PortCount == 0) {
    // "no free port" has been shown; say which device was meant.
    std::cerr << "No serial port free at "
              << (options.Device.empty() ? "COM" + std::to_string(port) : options.Device) << "."
              << std::endl;
    return nullptr;
  }
  if (!link->PortFree[port]) {
    std::cerr << "COM" << port << " (" << link->DevicePathOf(port)
              << ") is not present or is held by another program." << std::endl;
    return nullptr;
  }
  link->SetLineMode(static_cast<uint8_t>(options.LineMode));
  link->OpenPort(port);
  if (!link->IsOpen()) {
    std::cerr << "COM" << port << " (" << link->DevicePathOf(port) << ") could not be opened."
              << std::endl;
    return nullptr;
  }
  link->SetBaudRate(options.Baud);
  if (options.Verbose)
    link->FrameTrace = TraceFrame;
  return link;
}

int RunPorts() {
  auto platform = DefaultSerialPlatform();
  for (int n = 1; n <= kMaxPort; ++n) {
    const PortStatus status = platform->Status(n);
    if (status == PortStatus::Absent)
      continue;
    std::cout << "COM" << n << "\t" << platform->DevicePath(n) << "\t"
              << (status == PortStatus::Free ? "free" : "busy") << "\n";
  }
  return kExitDone;
}

void PrintIdentity(const DeviceIdentity &identity) {
  char code[32];
  std::snprintf(code, sizeof code, "%u (0x%02X)", identity.DeviceCode, identity.DeviceCode);
  char byte4[8];
  std::snprintf(byte4, sizeof byte4, "0x%02X", identity.Data4);
  std::cout << "Device code: " << code << "\n"
            << "Data byte 4: " << byte4 << "\n"
            << "Reset vector: "
            << HexBytes(identity.ResetVector.data(), identity.ResetVector.size()) << "\n"
            << "Accepted: " << (IsAcceptedDevice(identity) ? "yes" : "no") << std::endl;
}

int RunIdentify(const LinkOptions &options) {
  auto link = OpenLink(options);
  if (!link)
    return kExitLinkFailure;
  const WaitLimit limit(options.WaitSeconds);
  // Poll as the load does, until the device answers or the operator gives up.
  if (!WaitForDevice(*link, [&limit] { return Interrupted() || limit.Expired(); })) {
    std::cerr << (Interrupted() ? "Cancelled." : "No answer within the wait.") << std::endl;
    return kExitCancelled;
  }
  const std::optional<DeviceIdentity> identity = ReadIdentity(*link);
  if (!identity) {
    std::cerr << "The Identify reply is too short (" << int{link->InBuffer[0]} << " bytes)."
              << std::endl;
    ShowError(SWrongMicrocontroller);
    return kExitRejected;
  }
  PrintIdentity(*identity);
  if (!IsAcceptedDevice(*identity)) {
    ShowError(SWrongMicrocontroller);
    return kExitRejected;
  }
  return kExitDone;
}

int RunLoad(const LinkOptions &options, const std::string &file, int deviceCode) {
  LoadRequest request;
  request.FileName = file;
  if (IsIntelHexFile(file)) {
    request.Image = PackForLoad(file, deviceCode);
    if (!request.Image)
      return kExitFileProblem;
  } else if (deviceCode != 0) {
    std::cerr << "--device-code is for an Intel HEX file; an image carries its own trailer."
              << std::endl;
    return kExitUsage;
  }
  std::error_code error;
  if (!std::filesystem::exists(file, error)) {
    ShowError(SFileNotFound);
    return kExitFileProblem;
  }
  auto link = OpenLink(options);
  if (!link)
    return kExitLinkFailure;
  const WaitLimit limit(options.WaitSeconds);
  bool waitExpired = false;
  request.CreateProgress = [&] { return std::make_unique<TerminalProgress>(limit, &waitExpired); };
  if (options.Verbose) {
    request.Observer.Identified = [](const DeviceIdentity &identity) { PrintIdentity(identity); };
    request.Observer.BeforeWritePage = [](int page, uint32_t address) {
      std::fprintf(stderr, "page %d at program address 0x%06X\n", page, address);
    };
  }
  LoadResult result;
  try {
    result = RunLoadSequence(*link, request);
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return kExitFileProblem;
  }
  switch (result.Outcome) {
  case LoadOutcome::Done:
    return kExitDone;
  case LoadOutcome::Rejected:
    return kExitRejected;
  case LoadOutcome::Failed:
    return kExitLinkFailure;
  case LoadOutcome::Cancelled:
    std::cerr << (waitExpired ? "No answer within the wait." : "Cancelled.") << std::endl;
    return kExitCancelled;
  case LoadOutcome::FileNotFound:
  case LoadOutcome::NoFile:
    return kExitFileProblem;
  }
  return kExitLinkFailure;
}

int RunInfo(const std::string &file) {
  std::error_code error;
  if (!std::filesystem::exists(file, error)) {
    ShowError(SFileNotFound);
    return kExitFileProblem;
  }
  FirmwareImage image;
  try {
    image = FirmwareImage::ReadFile(file);
  } catch (const EInOutError &failure) {
    ShowError(failure.what());
    return kExitFileProblem;
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
  std::cout.flush();
  return kExitDone;
}
} // namespace

int main(int argc, char **argv) {
  CLI::App app{"korvalen-cli: load firmware into PIC24 and dsPIC33 microcontrollers through "
               "their serial bootloader"};
  app.require_subcommand(1);

  auto *ports =
      app.add_subcommand("ports", "List the serial ports COM1 ... COM32 that are present");
  LinkOptions identifyOptions;
  auto *identify = app.add_subcommand("identify", "Wait for the device and show what it reports");
  AddLinkOptions(*identify, identifyOptions);
  LinkOptions loadOptions;
  std::string loadFile;
  auto *load = app.add_subcommand("load", "Load a firmware image into the device");
  AddLinkOptions(*load, loadOptions);
  load->add_option("FILE", loadFile, "Firmware image (.rom), or Intel HEX (.hex) packed on the way")
      ->required();
  int loadDeviceCode = 0;
  AddDeviceCodeOption(*load, loadDeviceCode,
                      "For an Intel HEX file: the device code it is built for; the device must "
                      "report it (without it, no check against the device)");
  std::string infoFile;
  auto *info = app.add_subcommand("info", "Show the layout of a firmware image");
  info->add_option("FILE", infoFile, "Firmware image (.rom)")->required();
  const HexCommands hexCommands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::Error &error) {
    const int code = app.exit(error);
    return code == 0 ? kExitDone : kExitUsage;
  }

  for (const auto *options : {&identifyOptions, &loadOptions}) {
    const bool used = options == &identifyOptions ? bool(*identify) : bool(*load);
    if (used && options->Port == 0 && options->Device.empty()) {
      std::cerr << "One of --port and --device is required." << std::endl;
      return kExitUsage;
    }
  }

  TerminalPresenter presenter;
  SetMessagePresenter(&presenter);
  InstallInterruptFlag();
  try {
    if (*ports)
      return RunPorts();
    if (*identify)
      return RunIdentify(identifyOptions);
    if (*load)
      return RunLoad(loadOptions, loadFile, loadDeviceCode);
    if (*info)
      return RunInfo(infoFile);
    if (const std::optional<int> code = hexCommands.Run())
      return *code;
  } catch (const std::exception &failure) {
    std::cerr << failure.what() << std::endl;
    return kExitLinkFailure;
  }
  return kExitUsage;
}
