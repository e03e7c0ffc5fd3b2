// TMainForm: the program's main window. Three buttons in a column (choose the
// COM port, open a firmware image file, load it), the chosen file's path and a
// fixed warning. The first show creates the program's one link object and
// reads the settings file; closing the window writes it back.
//
// Its decisions are the core's (TMainWindowFlow): this class draws the window
// with Qt widgets and forwards its events there.
#pragma once

#include "shell/MainWindowFlow.h"

#include <QString>
#include <QStringList>
#include <QWidget>
#include <string>

class QLabel;
class QPushButton;

// The application's title (ApplicationTitleFor the running program file). It
// captions the application's error box; the main window's own title is
// "Korvalen".
QString ApplicationTitle();

// Where the main window finds what lies beside the program (MainWindowSetup:
// tests give their own folder, settings file, ports and guard), and whether
// the file dialog is the platform's own (tests drive Qt's).
struct MainFormEnvironment : MainWindowSetup {
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

class TMainForm : public QWidget, public TMainWindowFlow {
  Q_OBJECT
public:
  // A refused copy asks to quit through a queued QCoreApplication::quit
  // unless the environment names another request.
  explicit TMainForm(MainFormEnvironment environment = {}, QWidget *parent = nullptr);
  ~TMainForm() override;

  QPushButton *bRS232;
  QPushButton *bOpen;
  QPushButton *bLoad;
  TOpenDialog OpenDialog1;
  QLabel *lFN;
  QLabel *Label1;

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

  void SetCaption(const std::string &text) override;
  void ShowFileName(const std::string &path) override;
  void SetFileDialogFolder(const std::filesystem::path &folder) override;
  std::optional<std::string> ChooseImageFile() override;
  std::unique_ptr<ProgressView> CreateProgress() override;
  void ShowFailure(const std::string &text) override;
  void ShowCentred(int state) override;
  void CloseNow() override;
  void UseDotDecimalSeparator() override;

private:
  void CentreOnScreen();
  // Moves the window, once the window manager has framed it, so that its
  // frame is centred in `area`; gives up when no frame is told in time.
  void CentreOnceFramed(const QRect &area);
  static QPoint CentredFrameOrigin(const QRect &area, const QSize &frame);
};

// The main window of the run (window object); nullptr when none exists.
extern TMainForm *MainForm;
