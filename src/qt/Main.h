// TMainForm: the program's main window. Three buttons in a column (choose the
// COM port, open a firmware image file, load it), the chosen file's path and a
// fixed warning. The first show creates the program's one link object and
// reads the settings file; closing the window writes it back.
//
// Every handler runs on the GUI thread and shows a failure in the
// application's error box; no exception leaves a handler. A handler that runs
// (a load pumps the event loop for its whole length) makes the buttons do
// nothing until it returns, and a close asked for meanwhile is carried out
// right after it.
#pragma once

#include "runtime/IniFls.h"
#include "loader/FirmwareImage.h"

#include <QString>
#include <QStringList>
#include <QWidget>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

class QLabel;
class QPushButton;
class SerialPlatform;
class TJustOne;
class TZor_RS;

// The one link object of the run; nullptr before the main window's first show.
TZor_RS *Link();
// Destroys the link object (closing its port). The program entry calls it
// before the main window is destroyed; tests call it between cases.
void ReleaseLink();

// The application's title: the program file's name up to its first ".", the
// first letter as the name has it and every later one in lower case
// ("korvalen" stays "korvalen", "KORVALEN.EXE" gives "Korvalen"). It captions
// the application's error box; the main window's own title is "Korvalen".
QString ApplicationTitle();
// The same rule for a given file name.
QString ApplicationTitleFor(const std::string &programFileName);

// Where the main window finds what lies beside the program. The defaults are
// those of the installed program; tests give their own folder, settings file,
// ports and guard.
struct MainFormEnvironment {
  // The program's folder: the working directory and the file dialog's initial
  // folder. Empty: the folder that holds the program file.
  std::filesystem::path ProgramFolder;
  // The settings file. Empty: the program's own (TMIniFile()).
  std::filesystem::path SettingsPath;
  // The serial ports the link uses. Null: the ports of this build.
  std::shared_ptr<SerialPlatform> Platform;
  // The single-instance marker's name and folder. Empty name: the program
  // file's name; empty folder: the platform's default.
  std::string GuardName;
  std::filesystem::path GuardFolder;
  // The application's request to quit, called by a refused guard. Empty: a
  // queued QCoreApplication::quit.
  std::function<void()> RequestQuit;
  // Whether the file dialog is the platform's own (tests drive Qt's).
  bool NativeFileDialog = true;
};

// The open-file dialog component: its settings persist between openings; the
// dialog itself is created for each opening and destroyed after it.
class TOpenDialog {
public:
  // The description and pattern of each filter entry, as Qt filter strings.
  QStringList Filters;
  // The folder shown first when FileName names none.
  QString InitialDir;
  // The chosen path; kept for the next opening.
  QString FileName;
  QString Title;
  bool Native = true;

  // Shows the dialog modally over `parent`: only an existing file can be
  // chosen. True when the operator confirmed a file (FileName holds it).
  bool Execute(QWidget *parent);
};

class TMainForm : public QWidget, public PlacementWindow {
  Q_OBJECT
public:
  explicit TMainForm(MainFormEnvironment environment = {}, QWidget *parent = nullptr);
  ~TMainForm() override;

  QPushButton *bRS232;
  QPushButton *bOpen;
  QPushButton *bLoad;
  std::unique_ptr<TJustOne> JustOne1;
  TOpenDialog OpenDialog1;
  QLabel *lFN;
  QLabel *Label1;

  // Full path of the chosen firmware image; empty when none.
  std::string FileName;
  // Filled by the load sequence from the device's Identify reply.
  ResetVectorBytes ResetVector{};

  // The show handler: runs once, at the first show.
  void FormShow();
  // The close handler: writes the settings file.
  void FormClose();
  void bRS232Click();
  void bOpenClick();
  void bLoadClick();
  // Sets "." as the decimal separator and makes the program's folder the
  // working directory.
  void PrepareEnvironment();

  // True while a handler runs.
  bool Running() const { return FRunning; }
  // True when a close was asked for during a handler and waits for its end.
  bool CloseDeferred() const { return FCloseAsked; }
  // True when the guard found another copy running and asked to quit.
  bool QuitRequested() const { return FQuitRequested; }

  // PlacementWindow: the frame's position and size; state 0 normal,
  // 1 minimized, 2 maximized. The border is fixed.
  int WindowState() const override;
  void SetWindowState(int state) override;
  int Left() const override;
  void SetLeft(int value) override;
  int Top() const override;
  void SetTop(int value) override;
  int Width() const override;
  void SetWidth(int value) override;
  int Height() const override;
  void SetHeight(int value) override;
  bool HasResizableBorder() const override { return false; }

protected:
  void showEvent(QShowEvent *event) override;
  void closeEvent(QCloseEvent *event) override;

private:
  // Runs one handler: nothing while another runs, failures to the error box,
  // and a close asked for meanwhile carried out after it.
  void RunHandler(const std::function<void()> &handler);
  void ShowFailure(const std::string &text) const;
  void CentreOnScreenOnce();
  std::unique_ptr<TMIniFile> OpenSettings() const;
  std::filesystem::path ProgramFolder() const;

  MainFormEnvironment Environment;
  bool FShown = false;        // the first show has run FormShow
  bool FInFirstShow = false;  // FormShow is running inside the first show
  int FPendingState = 0;      // state read at the first show, applied after centring
  bool FSettingsRead = false; // FormShow read the settings file to the end
  bool FRunning = false;
  bool FCloseAsked = false;
  bool FQuitRequested = false;
};

// The main window of the run (window object); nullptr when none exists.
extern TMainForm *MainForm;
