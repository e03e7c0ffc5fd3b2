// The main window's decisions, without a toolkit: the order of its first
// show and what that reads, what its close writes and when, what each button
// does, the single-instance guard that sits on it, and that one handler never
// runs inside another. A front end's main window derives from this class,
// draws the window, implements the few drawing operations below and forwards
// its events (shown, close asked, button pressed) here.
#pragma once

#include "link/serial/SerialPort.h"
#include "loader/FirmwareImage.h"
#include "loader/ProgressView.h"
#include "runtime/IniFls.h"
#include "runtime/JustOne.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class TZor_RS;

inline constexpr uint32_t kWorkingBaudRate = 19200;
inline constexpr uint8_t kWorkingLineMode = 2;

// The window's design, the same in every front end: its texts, and its sizes
// in pixels at 96 dots per inch.
namespace main_window {
inline constexpr const char *kCaption = "Korvalen";
inline constexpr const char *kPortButtonCaption = "Выбрать СОМ-порт"; // С, О, М are Cyrillic
inline constexpr const char *kOpenButtonCaption = "Открыть файл прошивки";
inline constexpr const char *kLoadButtonCaption = "Загрузить ";
// The warning's two lines; each toolkit joins them with its own line break.
inline constexpr const char *kWarningTitle = "ВНИМАНИЕ!";
inline constexpr const char *kWarningText =
    "Внимательно проверьте соответствие версий Вашего устройства и загружаемого программного "
    "обеспечения. При их несовпадении устройство может выйти из строя.";
// The open-file dialog's one filter entry.
inline constexpr const char *kImageFilterName = "Файлы прошивок (*.rom)";
inline constexpr const char *kImagePattern = "*.rom";
inline constexpr int kClientWidth = 361;
inline constexpr int kClientHeight = 251;
inline constexpr int kWarningHeight = 75; // docked to the bottom edge
// Where each control stands in the client area, in pixels.
struct ControlBox {
  int Left, Top, Width, Height;
};
inline constexpr ControlBox kPortButtonBox{24, 16, 321, 25};
inline constexpr ControlBox kOpenButtonBox{24, 56, 321, 25};
inline constexpr ControlBox kFileLabelBox{24, 88, 321, 41};
inline constexpr ControlBox kLoadButtonBox{24, 136, 321, 25};
inline constexpr ControlBox kWarningBox{0, kClientHeight - kWarningHeight, kClientWidth,
                                        kWarningHeight};
} // namespace main_window

// The one link object of the run, reachable program-wide; null before the
// main window's first show.
TZor_RS *Link();
// Destroys the link object (closing its port). The program entry calls it
// before the main window is destroyed; tests call it between cases.
void ReleaseLink();

// Where the main window finds what lies beside the program. The defaults are
// those of the installed program; tests give their own.
struct MainWindowSetup {
  // The working directory and the file dialog's first folder. Empty: the
  // folder that holds the program file.
  std::filesystem::path ProgramFolder;
  // The settings file. Empty: the program's own (TMIniFile()).
  std::filesystem::path SettingsPath;
  // The serial ports the link uses. Null: the ports of this build.
  std::shared_ptr<SerialPlatform> Platform;
  // The single-instance marker's name and folder. Empty name: the program
  // file's name; empty folder: the platform's default.
  std::string GuardName;
  std::filesystem::path GuardFolder;
  // The application's request to quit, called while the window is built when
  // another copy runs. Empty: none beyond QuitRequested().
  std::function<void()> RequestQuit;
};

class TMainWindowFlow : public PlacementWindow {
public:
  explicit TMainWindowFlow(MainWindowSetup setup = {});
  ~TMainWindowFlow() override;
  TMainWindowFlow(const TMainWindowFlow &) = delete;
  TMainWindowFlow &operator=(const TMainWindowFlow &) = delete;

  // Made while the window is built: a copy that finds another one running
  // asks to quit at once.
  std::unique_ptr<TJustOne> JustOne1;
  // Full path of the chosen image, UTF-8; empty when none.
  std::string FileName;
  // Filled by the load sequence from the device's Identify reply.
  ResetVectorBytes ResetVector{};

  // The window's events.
  // Shown: the first time only, FormShow (a failure shown in the application's
  // error box skips its remaining steps), then the window centred on the
  // screen and shown in the state FormShow read.
  void WindowShown();
  // The operator asks to close the window. While a handler runs the close
  // waits for its end (false; the window closes right after it); otherwise
  // FormClose runs, a failure is shown, and the window closes (true).
  bool HandleClose();
  // Runs one handler of the window: nothing while another runs (a load pumps
  // the event loop for its whole length), a failure to the application's
  // error box, and a close asked for meanwhile carried out after it.
  void RunHandler(const std::function<void()> &handler);

  // The handlers.
  void FormShow();
  void FormClose();
  void bRS232Click();
  void bOpenClick();
  void bLoadClick();
  // "." as the decimal separator; the program's folder as working directory.
  void PrepareEnvironment();

  std::filesystem::path ProgramFolder() const;
  // True while a handler (or the first show, or the close) runs.
  bool Running() const { return FRunning; }
  // True when a close was asked for during a handler and waits for its end.
  bool CloseDeferred() const { return FCloseAsked; }
  // True when the guard found another copy running and asked to quit.
  bool QuitRequested() const { return !JustOne1->FirstInstance(); }

protected:
  // What the window draws.
  virtual void SetCaption(const std::string &text) = 0;
  // `lFN` shows the image's path.
  virtual void ShowFileName(const std::string &path) = 0;
  // The open-file dialog's initial folder.
  virtual void SetFileDialogFolder(const std::filesystem::path &folder) = 0;
  // The open-file dialog, modally: the path the operator confirmed, or
  // nothing when they cancelled.
  virtual std::optional<std::string> ChooseImageFile() = 0;
  // The progress window of one load.
  virtual std::unique_ptr<ProgressView> CreateProgress() = 0;
  // The application's error box (caption: the application's title) for a
  // failure that escaped a handler.
  virtual void ShowFailure(const std::string &text) = 0;
  // Once, after FormShow: centred on the screen whatever the settings said,
  // and shown in `state` (0 normal, 1 minimized, 2 maximized).
  virtual void ShowCentred(int state) = 0;
  // Carries out a close that waited for a handler's end.
  virtual void CloseNow() = 0;
  // The toolkit's own number formatting, where it has one, with ".".
  virtual void UseDotDecimalSeparator() {}

private:
  std::unique_ptr<TMIniFile> OpenSettings() const;
  // Runs `step`; a failure goes to the application's error box.
  void Guarded(const std::function<void()> &step);

  MainWindowSetup FSetup;
  bool FShown = false;
  int FShownState = 0; // the state FormShow read, applied once centred
  bool FSettingsRead = false;
  // The journal the settings name ([Journal] File=); empty: none is kept.
  std::string FJournalFile;
  bool FRunning = false;
  bool FCloseAsked = false;
};

// The application's title: the program file's name up to its first ".", the
// first letter as it is and every later letter (Latin or Cyrillic) in lower
// case ("KORVALEN.EXE" gives "Korvalen", "korvalen.exe" gives "korvalen").
// It captions the taskbar entry and the application's error box.
std::string ApplicationTitleFor(const std::string &programFileName);
// The text of the application's error box: a full stop added when the last
// character comes after "." in character order.
std::string ApplicationErrorText(const std::string &text);
