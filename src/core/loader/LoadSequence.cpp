#include "loader/LoadSequence.h"

#include <cmath>
#include <optional>

#include "link/TimerPeriod.h"
#include "link/Zor_RS232.h"
#include "runtime/Hooks.h"
#include "runtime/ProgramPath.h"

const char *const SFileNotFound = "Файл не найден";
const char *const SSwitchOnDevice = "Включите МК...";
const char *const SIdentifying = "Определение типа микроконтроллера...";
const char *const SLoadingProgram = "Загрузка программы...";
const char *const SLoadFinished = "Загрузка окончена.";
const char *const SWrongMicrocontroller = "В устройстве неверный микроконтроллер.";
const char *const SDeviceCodeMismatch = "Тип микроконтроллера не совпадает с версией ПО.";
const char *const SVersionMismatch = "Версии устройства и программного обеспечения не совпадают.";

namespace {
// 5 header bytes, the data, 1 checksum.
constexpr int kIdentifyReplyLength = kReplyDataIndex + kIdentifyDataBytes + 1;

// The state of one run. Members go in reverse order: the image is released
// before the view is destroyed, on every way out.
struct Run {
  std::unique_ptr<ProgressView> View;
  FirmwareImage Image;
};

// Shows the outcome's box and hands the result on.
LoadResult Report(LoadResult result) {
  if (result.Outcome == LoadOutcome::Done)
    ShowInfo(result.Message);
  else
    ShowError(result.Message);
  return result;
}
} // namespace

bool IsAcceptedDevice(const DeviceIdentity &identity) {
  const bool knownCode = identity.DeviceCode == kDeviceCodeA || identity.DeviceCode == kDeviceCodeB;
  return knownCode && (identity.Data4 >> 4) == kRequiredByte4HighNibble;
}

std::optional<DeviceIdentity> ReadIdentity(TZor_RS &link) {
  if (link.InBuffer[0] < kIdentifyReplyLength)
    return std::nullopt;
  DeviceIdentity identity;
  identity.DeviceCode = link.GetWord();
  identity.Data2 = link.GetByte();
  identity.Data3 = link.GetByte();
  identity.Data4 = link.GetByte();
  identity.Data5 = link.GetByte();
  for (uint8_t &byte : identity.ResetVector)
    byte = link.GetByte();
  return identity;
}

bool WaitForDevice(TZor_RS &link, const std::function<bool()> &stop) {
  const FineTimerScope fineTimer;
  for (;;) {
    link.ReplyTimeout = kIdentifyTimeoutMs;
    try {
      link.SendCommand(kBootloaderAddress, kCommandIdentify);
      return true;
    } catch (...) {
    }
    ProcessMessages();
    if (stop())
      return false;
  }
}

int GaugePercent(int page, int pages) {
  return static_cast<int>(std::nearbyint(static_cast<double>(page * 100) / pages));
}

LoadResult RunLoadSequence(TZor_RS &link, const LoadRequest &request) {
  const std::filesystem::path file = PathFromUtf8(request.FileName);
  if (!request.Image) {
    if (request.FileName.empty())
      return {LoadOutcome::NoFile, {}};
    // A folder or a link loop is no file either, whatever the reason it fails.
    if (FindImageFile(file) != ImageAbsence::None) {
      ShowError(SFileNotFound);
      return {LoadOutcome::FileNotFound, SFileNotFound};
    }
  }
  FirmwareImage image = request.Image ? *request.Image : FirmwareImage::ReadFile(file);
  // Past the last 24-bit address, WritePage would write over the first pages.
  if (image.PageCount() > kMaxPages)
    throw EImageTooLarge(file, static_cast<uint64_t>(image.PageCount()));

  // The pauses and waits of every exchange keep to the millisecond.
  const FineTimerScope fineTimer;
  Run run;
  run.View = request.CreateProgress();
  run.Image = std::move(image);
  ProgressView &view = *run.View;
  view.ShowView();
  view.SetCancelVisible(true);
  view.SetLabel(SSwitchOnDevice);
  view.SetGaugeVisible(false);

  const auto pollFailed = [&] {
    if (request.Observer.PollFailed)
      request.Observer.PollFailed();
    return view.IsCancelled();
  };
  if (!WaitForDevice(link, pollFailed))
    return {LoadOutcome::Cancelled, {}};

  view.SetLabel(SIdentifying);
  const std::optional<DeviceIdentity> identity = ReadIdentity(link);
  // Every identification stores the reset vector, before the device is tested.
  if (identity && request.ResetVector)
    *request.ResetVector = identity->ResetVector;
  if (identity && request.Observer.Identified)
    request.Observer.Identified(*identity);
  if (!identity || !IsAcceptedDevice(*identity))
    return Report({LoadOutcome::Rejected, SWrongMicrocontroller});

  if (run.Image.HasTrailer()) {
    const TrailerBytes trailer = run.Image.Trailer();
    if (trailer[0] != identity->DeviceCode)
      return Report({LoadOutcome::Rejected, SDeviceCodeMismatch});
    if (trailer[1] != kVersionMark)
      return Report({LoadOutcome::Rejected, SVersionMismatch});
  }

  run.Image.OverwriteResetVector(identity->ResetVector);
  view.SetLabel(SLoadingProgram);
  view.SetGaugeVisible(true);

  const int pages = run.Image.PageCount();
  LoadResult result{LoadOutcome::Done, SLoadFinished};
  PageBytes page{};
  for (int p = 1; p <= pages; ++p) {
    if (view.IsCancelled()) {
      result.Outcome = LoadOutcome::Cancelled;
      result.Message.clear();
      return result;
    }
    const auto source = run.Image.Page(p);
    std::copy(source.begin(), source.end(), page.begin());
    if (!FirmwareImage::IsPageSent(p))
      continue;
    try {
      if (request.PreparePage)
        request.PreparePage(p, page);
      for (int block = 0; block < kBlocksPerPage; ++block) {
        if (request.Observer.BeforeWriteBlock)
          request.Observer.BeforeWriteBlock(p, block);
        link.ReplyTimeout = kWriteBlockTimeoutMs;
        link.BeginCommand(kBootloaderAddress, kCommandWriteBlock);
        link.PutByte(static_cast<uint8_t>(block));
        for (size_t i = 0; i < kBlockSize; ++i)
          link.PutByte(page[block * kBlockSize + i]);
        link.Execute();
      }
      const uint32_t address = FirmwareImage::PageAddress(p);
      if (request.Observer.BeforeWritePage)
        request.Observer.BeforeWritePage(p, address);
      link.ReplyTimeout = kWritePageTimeoutMs;
      link.BeginCommand(kBootloaderAddress, kCommandWritePage);
      link.PutWord(static_cast<uint16_t>(address % 65536));
      link.PutByte(static_cast<uint8_t>(address / 65536));
      link.Execute();
    } catch (const std::exception &failure) {
      result.Outcome = LoadOutcome::Failed;
      result.Message = failure.what();
      return Report(result);
    }
    ++result.PagesSent;
    view.SetGaugeValue(GaugePercent(p, pages));
  }

  if (request.Observer.BeforeFinish)
    request.Observer.BeforeFinish();
  link.ReplyTimeout = kFinishTimeoutMs;
  try {
    link.SendCommand(kBootloaderAddress, kCommandFinish);
    result.FinishConfirmed = true;
  } catch (...) {
  }
  return Report(result);
}
