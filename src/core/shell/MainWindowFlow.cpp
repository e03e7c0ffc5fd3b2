#include "shell/MainWindowFlow.h"

#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Hooks.h"
#include "runtime/HostName.h"
#include "runtime/ProgramPath.h"
#include "station/Station.h"

#include <clocale>
#include <utility>

namespace {
const char *const kCommonSection = "Common";
const char *const kFileNameKey = "FN";
const char *const kPlacementSection = "MainWindow";
// A journal of every load, when the settings name one (none by default).
const char *const kJournalSection = "Journal";
const char *const kJournalFileKey = "File";
constexpr const char *kProgramName = "korvalen";

std::unique_ptr<TZor_RS> gLink;

// The window as the first show's placement read sees it: the state read is
// only noted, to take effect once the window has been centred.
class StateNotedWindow : public PlacementWindow {
public:
  StateNotedWindow(PlacementWindow &window, int &state) : FWindow(window), FState(state) {}
  int WindowState() const override { return FState; }
  // The window knows no other states: anything else is the normal one.
  void SetWindowState(int state) override { FState = state >= 0 && state <= 2 ? state : 0; }
  int Left() const override { return FWindow.Left(); }
  void SetLeft(int value) override { FWindow.SetLeft(value); }
  int Top() const override { return FWindow.Top(); }
  void SetTop(int value) override { FWindow.SetTop(value); }
  int Width() const override { return FWindow.Width(); }
  void SetWidth(int value) override { FWindow.SetWidth(value); }
  int Height() const override { return FWindow.Height(); }
  void SetHeight(int value) override { FWindow.SetHeight(value); }
  bool HasResizableBorder() const override { return FWindow.HasResizableBorder(); }

private:
  PlacementWindow &FWindow;
  int &FState;
};
} // namespace

TZor_RS *Link() {
  return gLink.get();
}

void ReleaseLink() {
  gLink.reset();
}

TMainWindowFlow::TMainWindowFlow(MainWindowSetup setup) : FSetup(std::move(setup)) {
  std::function<void()> requestQuit = FSetup.RequestQuit ? FSetup.RequestQuit : [] {};
  if (FSetup.GuardName.empty())
    JustOne1 = std::make_unique<TJustOne>(std::move(requestQuit));
  else
    JustOne1 =
        std::make_unique<TJustOne>(std::move(requestQuit), FSetup.GuardName, FSetup.GuardFolder);
}

TMainWindowFlow::~TMainWindowFlow() = default;

std::filesystem::path TMainWindowFlow::ProgramFolder() const {
  return FSetup.ProgramFolder.empty() ? ProgramDirectory() : FSetup.ProgramFolder;
}

std::unique_ptr<TMIniFile> TMainWindowFlow::OpenSettings() const {
  if (FSetup.SettingsPath.empty())
    return std::make_unique<TMIniFile>();
  return std::make_unique<TMIniFile>(FSetup.SettingsPath);
}

void TMainWindowFlow::Guarded(const std::function<void()> &step) {
  try {
    step();
  } catch (const std::exception &error) {
    ShowFailure(error.what());
  } catch (...) {
    ShowFailure("Unknown error");
  }
}

void TMainWindowFlow::WindowShown() {
  if (FShown)
    return;
  FShown = true;
  FShownState = WindowState();
  // As a handler: FormShow may show a box whose event loop takes the
  // operator's clicks and close requests.
  RunHandler([this] {
    Guarded([this] { FormShow(); }); // its failure skips its rest, not the centring
    ShowCentred(FShownState);
  });
}

bool TMainWindowFlow::HandleClose() {
  if (FRunning) {
    // The run still uses the link and this window: close once it is over.
    FCloseAsked = true;
    return false;
  }
  FRunning = true;
  Guarded([this] { FormClose(); });
  FRunning = false;
  FCloseAsked = false;
  return true;
}

void TMainWindowFlow::RunHandler(const std::function<void()> &handler) {
  // A load pumps the event loop while it runs: a second press of any button
  // must neither start another run nor take the link from under this one.
  if (FRunning)
    return;
  FRunning = true;
  Guarded(handler);
  FRunning = false;
  if (std::exchange(FCloseAsked, false))
    CloseNow();
}

void TMainWindowFlow::PrepareEnvironment() {
  std::setlocale(LC_NUMERIC, "C");
  UseDotDecimalSeparator();
  std::filesystem::current_path(ProgramFolder());
}

void TMainWindowFlow::FormShow() {
  SetCaption(main_window::kCaption);
  PrepareEnvironment();
  // The old link (if any) goes first: it may hold the port the new one wants.
  ReleaseLink();
  gLink = std::make_unique<TZor_RS>(nullptr, nullptr, FSetup.Platform);
  gLink->SetLineMode(kWorkingLineMode);
  FileName.clear();
  {
    const std::unique_ptr<TMIniFile> settings = OpenSettings();
    gLink->LoadSettings(*settings);
    FileName = settings->ReadString(kCommonSection, kFileNameKey, FileName);
    FJournalFile = settings->ReadString(kJournalSection, kJournalFileKey, "");
    StateNotedWindow window(*this, FShownState);
    settings->LoadPlacement(kPlacementSection, window);
  }
  FSettingsRead = true;
  ShowFileName(FileName);
  AccessGranted = true;
  SetFileDialogFolder(ProgramFolder());
  gLink->SetBaudRate(kWorkingBaudRate);
}

void TMainWindowFlow::FormClose() {
  // A copy the guard refused, and a window whose settings were never read,
  // write nothing: what is stored stays as it was.
  if (QuitRequested() || !FSettingsRead || !gLink)
    return;
  PrepareEnvironment();
  const std::unique_ptr<TMIniFile> settings = OpenSettings();
  gLink->SaveSettings(*settings);
  settings->WriteString(kCommonSection, kFileNameKey, FileName);
  settings->SavePlacement(kPlacementSection, *this);
}

void TMainWindowFlow::bRS232Click() {
  if (gLink)
    gLink->ChoosePort(nullptr);
}

void TMainWindowFlow::bOpenClick() {
  const std::optional<std::string> chosen = ChooseImageFile();
  if (!chosen)
    return;
  FileName = *chosen;
  ShowFileName(FileName);
}

void TMainWindowFlow::bLoadClick() {
  if (!gLink)
    return;
  LoadRequest request;
  request.FileName = FileName;
  request.CreateProgress = [this] { return CreateProgress(); };
  request.ResetVector = &ResetVector;
  if (FJournalFile.empty()) {
    RunLoadSequence(*gLink, request);
    return;
  }
  // With a journal, the load is a station's one load: recorded on disk before
  // its outcome is shown, and not started when it could not be recorded.
  const std::unique_ptr<Journal> journal = OpenJournal(FJournalFile);
  StationSetup setup;
  setup.Records = journal.get();
  setup.Template.Station = HostName();
  setup.Template.Port = "COM" + std::to_string(gLink->PortNumber);
  setup.Template.Image = FileName;
  setup.Template.ProgramName = kProgramName;
  setup.Template.ProgramVersion = KORVALEN_VERSION;
  setup.NextLoad = [&request]() -> std::optional<LoadRequest> { return std::move(request); };
  setup.ImageFacts = [this]() -> std::pair<std::string, uint64_t> {
    try {
      const FirmwareImage image = FirmwareImage::ReadFile(PathFromUtf8(FileName));
      return {ImageDigest(image), image.Size()};
    } catch (const std::exception &) {
      return {};
    }
  };
  StationObserver observer;
  observer.BoardEnded = [](const BoardEnd &end) {
    if (!end.JournalFailure.empty())
      ShowError(end.JournalFailure + "\n" + ToJson(*end.Record).dump());
  };
  try {
    RunStation(*gLink, setup, observer);
  } catch (const EJournalError &failure) {
    ShowError(failure.what());
  }
}

namespace {

// The lower-case form of a Latin or Cyrillic capital (the letters of the
// system's code pages); any other character as it is.
char32_t LowerCase(char32_t c) {
  if ((c >= U'A' && c <= U'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7) ||
      (c >= 0x410 && c <= 0x42F))
    return c + 0x20;
  if (c >= 0x400 && c <= 0x40F) // Ѐ ... Џ
    return c + 0x50;
  if (c == 0x490) // Ґ
    return c + 1;
  return c;
}

// Beyond Unicode: what a byte that starts no well-formed sequence stands for.
constexpr char32_t kNoCharacter = 0x110000;

// The character that the UTF-8 sequence at `at` holds and its length.
std::pair<char32_t, size_t> CharacterAt(const std::string &text, size_t at) {
  const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  const size_t length = lead < 0x80             ? 1
                        : (lead & 0xE0) == 0xC0 ? 2
                        : (lead & 0xF0) == 0xE0 ? 3
                        : (lead & 0xF8) == 0xF0 ? 4
                                                : 0;
  if (length == 1)
    return {lead, 1};
  if (length == 0 || at + length > text.size())
    return {kNoCharacter, 1};
  char32_t c = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80)
      return {kNoCharacter, 1};
    c = (c << 6) | (byte(at + i) & 0x3F);
  }
  return {c, length};
}

} // namespace

std::string ApplicationTitleFor(const std::string &programFileName) {
  const std::string name = programFileName.substr(0, programFileName.find('.'));
  std::string title;
  for (size_t at = 0; at < name.size();) {
    const auto [c, length] = CharacterAt(name, at);
    const char32_t lower = at == 0 ? c : LowerCase(c);
    if (lower == c) {
      title.append(name, at, length);
    } else if (lower < 0x80) {
      title += static_cast<char>(lower);
    } else { // every lower-case letter above is below U+0800: two bytes
      title += static_cast<char>(0xC0 | (lower >> 6));
      title += static_cast<char>(0x80 | (lower & 0x3F));
    }
    at += length;
  }
  return title;
}

std::string ApplicationErrorText(const std::string &text) {
  std::string shown = text;
  // Compared as characters: a letter of any script comes after ".", and so
  // does the last byte of any UTF-8 sequence.
  if (!shown.empty() && static_cast<unsigned char>(shown.back()) > '.')
    shown += '.';
  return shown;
}
