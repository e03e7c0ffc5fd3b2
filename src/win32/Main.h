// TMainForm: the program's main window with native controls. Three buttons
// in a column (choose the COM port, open a firmware image file, load it), the
// chosen file's path and the fuchsia warning docked at the bottom. Its
// decisions are the core's (TMainWindowFlow): this class draws the window with
// native controls and forwards its events there.
#pragma once

#include "win32/Forms.h"

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

class TMainForm final : public TForm, public TMainWindowFlow {
public:
  explicit TMainForm(MainWindowSetup setup = {});
  ~TMainForm() override;

  HWND bRS232 = nullptr;
  HWND bOpen = nullptr;
  HWND bLoad = nullptr;
  TOpenDialog OpenDialog1;
  HWND lFN = nullptr;
  HWND Label1 = nullptr;

  // The event loop's start: the window shown as `showCommand` asks. Asked
  // for a minimized window, it stays minimized and its first show waits
  // until the operator restores it.
  void Start(int showCommand);

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

  void SetCaption(const std::string &text) override;
  void ShowFileName(const std::string &path) override;
  void SetFileDialogFolder(const std::filesystem::path &folder) override;
  std::optional<std::string> ChooseImageFile() override;
  std::unique_ptr<ProgressView> CreateProgress() override;
  void ShowFailure(const std::string &text) override;
  void ShowCentred(int state) override;
  void CloseNow() override;

  RECT Frame() const;

  HBRUSH FWarningBrush = nullptr;
  bool FWaitingForRestore = false;
};

// The application's title, from the program file's name.
std::wstring ApplicationTitle();
// The application's error box: caption the application's title, error icon,
// OK, the text with the full-stop rule; owned by the program's active window.
void ShowApplicationError(const std::string &text);
