#include "link/Zor_RS_Base.h"

#include <algorithm>
#include <charconv>
#include <string>

#include "link/AccessGate.h"
#include "runtime/Hooks.h"
#include "runtime/IniFls.h"

const char *const SNoFreePort = "Нет свободного COM-порта!";

namespace {
constexpr char kPortKey[] = "Port";
constexpr char kEntryPrefix[] = "COM";
} // namespace

std::string PortFailureText(PortOperation operation, const PortError &error) {
  std::string text;
  switch (operation) {
  case PortOperation::LineSettings:
    text = "line settings";
    break;
  case PortOperation::Write:
    text = "write";
    break;
  case PortOperation::Read:
    text = "read";
    break;
  }
  // Code 0: the port gave up by itself, the system refused nothing.
  text += error.Code != 0 ? " refused by the system" : " failed";
  if (error.Fault == PortFault::Gone)
    text += ", the device is gone";
  return text + ": " + error.Describe();
}

TZor_RS_Base::TZor_RS_Base(TMenuItem *primaryMenu, TMenuItem *secondaryMenu,
                           std::shared_ptr<SerialPlatform> platform)
    : TZorBaseInterface(primaryMenu, secondaryMenu),
      FPlatform(platform ? std::move(platform) : DefaultSerialPlatform()) {
  if (ScanPorts() == 0) {
    ShowError(SNoFreePort);
    return;
  }
  PortNumber = FirstFreePort();
  BaudRate = 115200;
  ByteSize = 8;
  Parity = kParityNone;
  StopBits = kTwoStopBits;
  DeviceName = "RS232Base";
}

// The port layer's own close: a derived class is already gone here.
TZor_RS_Base::~TZor_RS_Base() {
  TZor_RS_Base::ClosePort();
}

uint8_t TZor_RS_Base::ScanPorts() {
  ClosePort();
  PortCount = 0;
  for (int n = 1; n <= kMaxPort; ++n) {
    PortFree[n] = FPlatform->Probe(n);
    if (PortFree[n])
      ++PortCount;
  }
  return static_cast<uint8_t>(PortCount);
}

int32_t TZor_RS_Base::FirstFreePort() const {
  for (int n = 1; n <= kMaxPort; ++n)
    if (PortFree[n])
      return n;
  return 0;
}

void TZor_RS_Base::OpenPort(int32_t n) {
  if (n <= 0)
    return;
  PortNumber = n;
  // A number past the table (a hand-edited settings file) is treated like a
  // port the scan did not find.
  if (n > kMaxPort || !PortFree[n])
    PortNumber = FirstFreePort();
  if (PortNumber == 0) {
    ShowError(SNoFreePort);
    return;
  }
  ClosePort();
  Handle = FPlatform->Open(PortNumber);
  if (Handle)
    Handle->SetQueues(kDriverQueueBytes, kDriverQueueBytes);
  SetBaudRate(BaudRate);
  SetByteSize(ByteSize);
  SetParity(Parity);
  SetStopBits(StopBits);
  if (Handle) {
    Handle->SetReadsReturnAtOnce();
    Handle->SetDTR();
    Handle->PurgeInput();
  }
}

void TZor_RS_Base::SetActive(bool open) {
  if (open)
    OpenPort(PortNumber);
  else
    ClosePort();
}

void TZor_RS_Base::ClosePort() {
  Handle.reset();
}

void TZor_RS_Base::ReportPortFailure(PortOperation operation) {
  if (PortFailed && Handle)
    PortFailed(operation, Handle->LastError());
}

void TZor_RS_Base::SetBaudRate(uint32_t rate) {
  BaudRate = rate;
  ChangeLineSetting(&LineSettings::BaudRate, rate);
  LineSettings inForce;
  if (Handle && Handle->GetState(inForce))
    BaudRate = inForce.BaudRate;
}

void TZor_RS_Base::SetByteSize(uint8_t dataBits) {
  ByteSize = dataBits;
  ChangeLineSetting(&LineSettings::ByteSize, dataBits);
}

void TZor_RS_Base::SetParity(uint8_t parity) {
  Parity = parity;
  ChangeLineSetting(&LineSettings::Parity, parity);
}

void TZor_RS_Base::SetStopBits(uint8_t stopBits) {
  StopBits = stopBits;
  ChangeLineSetting(&LineSettings::StopBits, stopBits);
}

void TZor_RS_Base::SetDTR() {
  if (Handle)
    Handle->SetDTR();
}

void TZor_RS_Base::SetRTS() {
  if (Handle)
    Handle->SetRTS();
}

void TZor_RS_Base::ClearRTS() {
  if (Handle)
    Handle->ClearRTS();
}

void TZor_RS_Base::PurgeInput() {
  if (Handle)
    Handle->PurgeInput();
}

void TZor_RS_Base::PurgeOutput() {
  if (Handle)
    Handle->PurgeOutput();
}

void TZor_RS_Base::LoadSettings(TMIniFile &settings) {
  TZorBaseInterface::LoadSettings(settings);
  OpenPort(settings.ReadInteger(DeviceName, kPortKey, PortNumber));
}

void TZor_RS_Base::SaveSettings(TMIniFile &settings) {
  TZorBaseInterface::SaveSettings(settings);
  settings.WriteInteger(DeviceName, kPortKey, PortNumber);
}

std::string TZor_RS_Base::DevicePathOf(int n) const {
  return FPlatform->DevicePath(n);
}

void TZor_RS_Base::ChoosePort(void *) {
  if (!CheckAccess())
    return;
  if (ScanPorts() == 0) {
    ShowError(SNoFreePort);
    return;
  }
  PortChoice choice;
  for (int n = 1; n <= kMaxPort; ++n) {
    if (!PortFree[n])
      continue;
    if (n == PortNumber)
      choice.Selected = static_cast<int>(choice.Entries.size());
    choice.Entries.push_back(kEntryPrefix + std::to_string(n));
    choice.DevicePaths.push_back(DevicePathOf(n));
  }
  const auto &hook = CurrentDialogHooks().ChoosePort;
  const std::optional<int> answer = hook ? hook(choice) : std::nullopt;
  // OK with no entry selected keeps the port as it was, like Cancel.
  if (answer && *answer >= 0 && *answer < static_cast<int>(choice.Entries.size())) {
    const std::string digits = choice.Entries[*answer].substr(3);
    int32_t chosen = 0;
    std::from_chars(digits.data(), digits.data() + digits.size(), chosen);
    PortNumber = chosen;
  }
  SetActive(false);
  OpenPort(PortNumber);
}

void TZor_RS_Base::ChooseBaudRate(void *) {
  if (!CheckAccess())
    return;
  const auto &hook = CurrentDialogHooks().ChooseBaudRate;
  const std::optional<int64_t> answer = hook ? hook(BaudRate) : std::nullopt;
  // The field may still hold an out-of-range value when Enter closed the
  // dialog without the field losing the focus: the nearer bound is meant.
  if (answer)
    SetBaudRate(static_cast<uint32_t>(std::clamp<int64_t>(*answer, kMinBaudRate, kMaxBaudRate)));
}
