// TMainForm: the program's main window with native controls. Three buttons
// in a column (choose the COM port, open a firmware image file, load it), the
// chosen file's path and the fuchsia warning docked at the bottom. Its
// decisions are the core's (TMainWindowFlow); this file draws the window and
// forwards its events.
#pragma once

#include "win32/Forms.h"

#include "runtime/IniFls.h"
#include "runtime/JustOne.h"
#include "shell/MainWindowFlow.h"

#include <memory>
#include <string>

// The open-file dialog component: its settings persist between openings.
class TOpenDialog {
public:
  // "description\0pattern\0...\0".
  std::wstring Filter;
  // The folder shown first when FileName names none.
  std::wstring InitialDir;
  // The chosen path; kept for the next opening.
  std::wstring FileName;

  // Only an existing file in an existing folder; no read-only box; resizable.
  bool Execute(HWND owner);
};

class TMainForm final : public TForm, public PlacementWindow {
public:
  explicit TMainForm(MainWindowSetup setup = {});
  ~TMainForm() override;

  HWND bRS232 = nullptr;
  HWND bOpen = nullptr;
  HWND bLoad = nullptr;
  std::unique_ptr<TJustOne> JustOne1;
  TOpenDialog OpenDialog1;
  HWND lFN = nullptr;
  HWND Label1 = nullptr;

  TMainWindowFlow Flow;

  // True when the guard found another copy running.
  bool QuitRequested() const { return FQuitRequested; }
  // The first show: FormShow, then centred and shown in the state read.
  void ShowFirst(int showCommand);

  void FormShow();
  void FormClose();
  void bRS232Click();
  void bOpenClick();
  void bLoadClick();

  // PlacementWindow: the frame's position and size; the border is fixed.
  int WindowState() const override;
  void SetWindowState(int state) override;
  int Left() const override;
  void SetLeft(int value) override;
  int Top() const override;
  void SetTop(int value) override;
  int Width() const override;
  void SetWidth(int) override {}
  int Height() const override;
  void SetHeight(int) override {}
  bool HasResizableBorder() const override { return false; }

private:
  bool OnInit() override;
  bool OnCommand(int id, int code, HWND control) override;
  bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result) override;
  void RunHandler(void (TMainForm::*handler)());
  void ShowFailure(const std::string &text);
  RECT Frame() const;

  HBRUSH WarningBrush = nullptr;
  bool FInFirstShow = false;
  int FPendingState = 0;
  bool FQuitRequested = false;
};

// The application's title, from the program file's name.
std::wstring ApplicationTitle();
// The application's error box: caption the application's title, error icon,
// OK, the text with the full-stop rule; owned by the program's active window.
void ShowApplicationError(const std::string &text);
