// The main window's decisions, without a toolkit: what its first show reads
// and sets up, what its close writes, what its buttons do, and that one
// handler never runs inside another. A front end draws the window and
// forwards its events here.
#pragma once

#include "link/serial/SerialPort.h"
#include "loader/FirmwareImage.h"
#include "loader/LoadSequence.h"
#include "runtime/IniFls.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class TZor_RS;

inline constexpr uint32_t kWorkingBaudRate = 19200;
inline constexpr uint8_t kWorkingLineMode = 2;

// Where the main window finds what lies beside the program. The defaults are
// those of the installed program; tests give their own.
struct MainWindowSetup {
  // The working directory and the file dialog's first folder. Empty: the
  // folder that holds the program file.
  std::filesystem::path ProgramFolder;
  // The settings file. Empty: the program file's path with ".ini".
  std::filesystem::path SettingsPath;
  // The serial ports the link uses. Null: the ports of this build.
  std::shared_ptr<SerialPlatform> Platform;
};

class TMainWindowFlow {
public:
  explicit TMainWindowFlow(MainWindowSetup setup = {});
  ~TMainWindowFlow();
  TMainWindowFlow(const TMainWindowFlow &) = delete;
  TMainWindowFlow &operator=(const TMainWindowFlow &) = delete;

  // The one link object of the run; null before the first show.
  TZor_RS *Link() const { return FLink.get(); }
  // Destroys the link (closing its port): the first thing to go at the end.
  void ReleaseLink();

  // Full path of the chosen image, UTF-8; empty when none.
  std::string FileName;
  // Filled by the load sequence from the device's Identify reply.
  ResetVectorBytes ResetVector{};

  std::filesystem::path ProgramFolder() const;
  // "." as the decimal separator; the program's folder as working directory.
  void PrepareEnvironment();

  // The first show, after the window's title is set: the link in line mode
  // 2, the settings read (port, "FN", placement of `window`), the access gate
  // opened, 19200 baud. The window then shows FileName and points its file
  // dialog at ProgramFolder(). Failures pass to the caller, which shows them;
  // the remaining steps are then skipped.
  void Show(PlacementWindow &window);
  // The close: port, "FN" and the placement written. A copy the guard
  // refused, and a window whose settings were never read, write nothing.
  void Close(const PlacementWindow &window, bool firstInstance);

  void ChoosePort();
  // One load of FileName under the progress view `createProgress` makes.
  LoadResult Load(const std::function<std::unique_ptr<ProgressView>()> &createProgress);

  // Runs one handler of the window: nothing while another runs (a load
  // pumps the event loop for its whole length), a failure to `showFailure`.
  // Answers true when a close was asked for meanwhile: the caller closes now.
  bool RunHandler(const std::function<void()> &handler,
                  const std::function<void(const std::string &)> &showFailure);
  bool Running() const { return FRunning; }
  // A close while a handler runs waits for its end; answers true when the
  // window may close now.
  bool AllowClose();

private:
  std::unique_ptr<TMIniFile> OpenSettings() const;

  MainWindowSetup Setup;
  std::unique_ptr<TZor_RS> FLink;
  bool FSettingsRead = false;
  bool FRunning = false;
  bool FCloseAsked = false;
};

// The application's title: the program file's name up to its first ".", the
// first letter as it is and every later ASCII letter in lower case
// ("KORVALEN.EXE" gives "Korvalen", "korvalen.exe" gives "korvalen").
std::string ApplicationTitleFor(const std::string &programFileName);
// The text of the application's error box: a full stop added when the last
// character comes after "." in character order.
std::string ApplicationErrorText(const std::string &text);
