#include "shell/MainWindowFlow.h"

#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "runtime/ProgramPath.h"

#include <clocale>
#include <utility>

namespace {
const char *const kCommonSection = "Common";
const char *const kFileNameKey = "FN";
const char *const kPlacementSection = "MainWindow";
} // namespace

TMainWindowFlow::TMainWindowFlow(MainWindowSetup setup) : Setup(std::move(setup)) {}

TMainWindowFlow::~TMainWindowFlow() = default;

void TMainWindowFlow::ReleaseLink() {
  FLink.reset();
}

std::filesystem::path TMainWindowFlow::ProgramFolder() const {
  return Setup.ProgramFolder.empty() ? ProgramDirectory() : Setup.ProgramFolder;
}

std::unique_ptr<TMIniFile> TMainWindowFlow::OpenSettings() const {
  if (Setup.SettingsPath.empty())
    return std::make_unique<TMIniFile>();
  return std::make_unique<TMIniFile>(Setup.SettingsPath);
}

void TMainWindowFlow::PrepareEnvironment() {
  std::setlocale(LC_NUMERIC, "C");
  std::filesystem::current_path(ProgramFolder());
}

void TMainWindowFlow::Show(PlacementWindow &window) {
  PrepareEnvironment();
  // The old link (if any) goes first: it may hold the port the new one wants.
  FLink.reset();
  FLink = std::make_unique<TZor_RS>(nullptr, nullptr, Setup.Platform);
  FLink->SetLineMode(kWorkingLineMode);
  FileName.clear();
  {
    const std::unique_ptr<TMIniFile> settings = OpenSettings();
    FLink->LoadSettings(*settings);
    FileName = settings->ReadString(kCommonSection, kFileNameKey, FileName);
    settings->LoadPlacement(kPlacementSection, window);
  }
  FSettingsRead = true;
  AccessGranted = true;
  FLink->SetBaudRate(kWorkingBaudRate);
}

void TMainWindowFlow::Close(const PlacementWindow &window, bool firstInstance) {
  if (!firstInstance || !FSettingsRead || !FLink)
    return;
  PrepareEnvironment();
  const std::unique_ptr<TMIniFile> settings = OpenSettings();
  FLink->SaveSettings(*settings);
  settings->WriteString(kCommonSection, kFileNameKey, FileName);
  settings->SavePlacement(kPlacementSection, window);
}

void TMainWindowFlow::ChoosePort() {
  if (FLink)
    FLink->ChoosePort(nullptr);
}

LoadResult
TMainWindowFlow::Load(const std::function<std::unique_ptr<ProgressView>()> &createProgress) {
  if (!FLink)
    return {};
  LoadRequest request;
  request.FileName = FileName;
  request.CreateProgress = createProgress;
  request.ResetVector = &ResetVector;
  return RunLoadSequence(*FLink, request);
}

bool TMainWindowFlow::RunHandler(const std::function<void()> &handler,
                                 const std::function<void(const std::string &)> &showFailure) {
  if (FRunning)
    return false;
  FRunning = true;
  try {
    handler();
  } catch (const std::exception &error) {
    showFailure(error.what());
  } catch (...) {
    showFailure("Unknown error");
  }
  FRunning = false;
  return std::exchange(FCloseAsked, false);
}

bool TMainWindowFlow::AllowClose() {
  if (FRunning) {
    FCloseAsked = true;
    return false;
  }
  return true;
}

std::string ApplicationTitleFor(const std::string &programFileName) {
  std::string name = programFileName.substr(0, programFileName.find('.'));
  for (size_t i = 1; i < name.size(); ++i)
    if (name[i] >= 'A' && name[i] <= 'Z')
      name[i] = static_cast<char>(name[i] - 'A' + 'a');
  return name;
}

std::string ApplicationErrorText(const std::string &text) {
  std::string shown = text;
  // Compared as code points: a letter of any script comes after ".".
  if (!shown.empty() && static_cast<unsigned char>(shown.back()) > '.')
    shown += '.';
  return shown;
}
