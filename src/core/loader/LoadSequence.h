// The load sequence: reads the image, waits until the bootloader answers,
// identifies the microcontroller, checks the image against it, sends every page
// but 2 to 4 as 12 WriteBlock commands and one WritePage, and ends with Finish.
//
// It shows its progress on a view it creates per run, reports the outcome with
// ShowError / ShowInfo, and returns it to the caller as well. Cancel is looked
// at only after a failed Identify and before each page.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "loader/FirmwareImage.h"
#include "loader/ProgressView.h"

class TZor_RS;

inline constexpr uint8_t kBootloaderAddress = 251;
inline constexpr uint8_t kCommandIdentify = 1;
inline constexpr uint8_t kCommandFinish = 6;
inline constexpr uint8_t kCommandWriteBlock = 10;
inline constexpr uint8_t kCommandWritePage = 20;
inline constexpr uint16_t kIdentifyTimeoutMs = 100;
inline constexpr uint16_t kFinishTimeoutMs = 100;
inline constexpr uint16_t kWriteBlockTimeoutMs = 500;
inline constexpr uint16_t kWritePageTimeoutMs = 800;
inline constexpr uint16_t kDeviceCodeA = 97;
inline constexpr uint16_t kDeviceCodeB = 245;
inline constexpr uint8_t kRequiredByte4HighNibble = 3;
inline constexpr int kIdentifyDataBytes = 12;

extern const char *const SFileNotFound;   // "Файл не найден"
extern const char *const SSwitchOnDevice; // "Включите МК..."
extern const char *const SIdentifying; // "Определение типа микроконтроллера..."
extern const char *const SLoadingProgram;       // "Загрузка программы..."
extern const char *const SLoadFinished;         // "Загрузка окончена."
extern const char *const SWrongMicrocontroller; // device code or data byte 4
extern const char *const SDeviceCodeMismatch;   // trailer byte 0
extern const char *const SVersionMismatch;      // trailer byte 1

// What the Identify reply said.
struct DeviceIdentity {
  uint16_t DeviceCode = 0;
  uint8_t Data2 = 0, Data3 = 0, Data4 = 0, Data5 = 0;
  ResetVectorBytes ResetVector{};
};

// The device codes and data byte 4 that the system accepts.
bool IsAcceptedDevice(const DeviceIdentity &identity);
// Reads the 12 data bytes of a successful Identify reply from the link. A reply
// too short to hold them answers nothing, so stale buffer bytes are never taken
// for the device's.
std::optional<DeviceIdentity> ReadIdentity(TZor_RS &link);

// Polls Identify until the device answers (true) or, after a failed poll and
// a turn of the user interface, `stop` says to give up (false). Every failure
// of a poll is swallowed: the device may be switched on at any moment.
bool WaitForDevice(TZor_RS &link, const std::function<bool()> &stop);

// Gauge value after `page` of `pages`: page * 100 / pages, a half to even.
int GaugePercent(int page, int pages);

enum class LoadOutcome {
  NoFile,       // no file chosen: nothing happened
  FileNotFound, // "Файл не найден" was shown
  Done,         // "Загрузка окончена." was shown
  Rejected,     // the device or the image did not pass the checks
  Failed,       // a WriteBlock or WritePage exchange failed
  Cancelled,    // the operator cancelled; nothing was shown
};

struct LoadResult {
  LoadOutcome Outcome = LoadOutcome::NoFile;
  std::string Message;          // the text shown, if any
  int PagesSent = 0;            // pages whose WritePage the device confirmed
  bool FinishConfirmed = false; // Finish got a valid reply (its failure is ignored)
};

// Optional observer of a run, for traces that name the page and the block.
struct LoadObserver {
  // After each Identify poll the device did not answer.
  std::function<void()> PollFailed;
  // What the device reported, before it is tested.
  std::function<void(const DeviceIdentity &)> Identified;
  std::function<void(int page, int block)> BeforeWriteBlock;
  std::function<void(int page, uint32_t address)> BeforeWritePage;
  // Every page has been handled; Finish is sent next.
  std::function<void()> BeforeFinish;
};

struct LoadRequest {
  std::string FileName; // empty: nothing to do
  // An image already in memory (an Intel HEX file packed): loaded in place of
  // reading FileName, which then only names it.
  std::optional<FirmwareImage> Image;
  std::function<std::unique_ptr<ProgressView>()> CreateProgress;
  // Filled from the Identify reply before the device is tested; may be null.
  ResetVectorBytes *ResetVector = nullptr;
  LoadObserver Observer;
  // Optional: called for every page that is sent, with a copy of its bytes
  // (page 1's reset vector already in place), before the first of its blocks
  // goes out; what it changes is what is sent (a board's own number). An
  // exception fails the load as a failed exchange does, before anything of
  // the page is sent.
  std::function<void(int page, PageBytes &bytes)> PreparePage;
};

// Runs one load through `link`. A path that names no file at all (nothing, a
// folder, a link loop) is "Файл не найден". A file that cannot be read raises
// EInOutError, and one with more pages than the address space holds raises
// EImageTooLarge, before the view exists and before any exchange; any other
// failure outside the exchanges passes to the caller after the view has been
// destroyed.
LoadResult RunLoadSequence(TZor_RS &link, const LoadRequest &request);
