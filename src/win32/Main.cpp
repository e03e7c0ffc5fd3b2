#include "win32/Main.h"

#include "win32/Progress.h"

#include "runtime/ProgramPath.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

// The design the two front ends share.
using namespace main_window;

namespace {
constexpr COLORREF kFuchsia = RGB(0xFF, 0x00, 0xFF);
constexpr int kPortButtonId = 300;
constexpr int kOpenButtonId = 301;
constexpr int kLoadButtonId = 302;
constexpr int kFileLabelId = 303;
constexpr int kWarningId = 304;
constexpr int kIconId = 1;
// Posted when a window started minimized is first restored.
constexpr UINT kFirstShowMessage = WM_APP + 1;

bool MinimizedCommand(int showCommand) {
  return showCommand == SW_SHOWMINIMIZED || showCommand == SW_MINIMIZE ||
         showCommand == SW_SHOWMINNOACTIVE || showCommand == SW_FORCEMINIMIZE;
}
} // namespace

std::wstring ApplicationTitle() {
  return Wide(ApplicationTitleFor(Utf8FromPath(ProgramFilePath().filename())));
}

void ShowApplicationError(const std::string &text) {
  MessageBoxW(OwnerForBoxes(), Wide(ApplicationErrorText(text)).c_str(), ApplicationTitle().c_str(),
              MB_OK | MB_ICONERROR);
}

bool TOpenDialog::Execute(HWND owner) {
  std::vector<wchar_t> file(32768, L'\0');
  std::copy(FileName.begin(), FileName.end(), file.begin());
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof dialog;
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = Filter.c_str();
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = file.data();
  dialog.nMaxFile = static_cast<DWORD>(file.size());
  dialog.lpstrInitialDir = InitialDir.empty() ? nullptr : InitialDir.c_str();
  dialog.Flags = OFN_EXPLORER | OFN_FILEMUSTEXIST | OFN_PATHMUSTEXIST | OFN_HIDEREADONLY |
                 OFN_ENABLESIZING | OFN_NOCHANGEDIR;
  if (!GetOpenFileNameW(&dialog))
    return false;
  FileName = file.data();
  return true;
}

// Until its first show the window is captioned as its taskbar entry is: with
// the application's title.
TMainForm::TMainForm(MainWindowSetup setup)
    : TForm(ApplicationTitle(),
            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME),
      TMainWindowFlow(std::move(setup)) {
  OpenDialog1.Filter = Wide(kImageFilterName) + L'\0' + Wide(kImagePattern) + L'\0';
  FWarningBrush = CreateSolidBrush(kFuchsia);
  CreateModeless(nullptr);
}

TMainForm::~TMainForm() {
  if (Handle)
    DestroyWindow(Handle);
  DeleteObject(FWarningBrush);
}

bool TMainForm::OnInit() {
  SetClientSize(Handle, kClientWidth, kClientHeight);
  const HINSTANCE instance = GetModuleHandleW(nullptr);
  SendMessageW(Handle, WM_SETICON, ICON_BIG,
               reinterpret_cast<LPARAM>(LoadIconW(instance, MAKEINTRESOURCEW(kIconId))));
  SendMessageW(Handle, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(LoadImageW(instance, MAKEINTRESOURCEW(kIconId), IMAGE_ICON,
                                                   GetSystemMetrics(SM_CXSMICON),
                                                   GetSystemMetrics(SM_CYSMICON), 0)));
  const auto add = [this](const wchar_t *kind, const std::wstring &text, DWORD style,
                          const ControlBox &box, int id) {
    return AddControl(Handle, kind, text, style, box.Left, box.Top, box.Width, box.Height, id);
  };
  bRS232 = add(WC_BUTTONW, Wide(kPortButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, kPortButtonBox,
               kPortButtonId);
  bOpen = add(WC_BUTTONW, Wide(kOpenButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, kOpenButtonBox,
              kOpenButtonId);
  lFN = add(WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, kFileLabelBox, kFileLabelId);
  bLoad = add(WC_BUTTONW, Wide(kLoadButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, kLoadButtonBox,
              kLoadButtonId);
  Label1 = add(WC_STATICW, Wide(std::string(kWarningTitle) + "\r\n" + kWarningText),
               SS_CENTER | SS_NOPREFIX, kWarningBox, kWarningId);
  return true;
}

void TMainForm::Start(int showCommand) {
  if (MinimizedCommand(showCommand)) {
    FWaitingForRestore = true;
    ShowWindow(Handle, showCommand);
    return;
  }
  WindowShown();
}

void TMainForm::ShowCentred(int state) {
  CentreOnScreen(Handle);
  ShowWindow(Handle, state == 1 ? SW_SHOWMINIMIZED : state == 2 ? SW_SHOWMAXIMIZED : SW_SHOWNORMAL);
  SetFocus(bRS232);
}

void TMainForm::SetCaption(const std::string &text) {
  SetWindowTextW(Handle, Wide(text).c_str());
}

void TMainForm::ShowFileName(const std::string &path) {
  SetWindowTextW(lFN, Wide(path).c_str());
}

void TMainForm::SetFileDialogFolder(const std::filesystem::path &folder) {
  OpenDialog1.InitialDir = folder.wstring();
}

std::optional<std::string> TMainForm::ChooseImageFile() {
  if (!OpenDialog1.Execute(Handle))
    return std::nullopt;
  return Utf8(OpenDialog1.FileName);
}

std::unique_ptr<ProgressView> TMainForm::CreateProgress() {
  return std::make_unique<TProgressForm>(Handle);
}

void TMainForm::ShowFailure(const std::string &text) {
  ShowApplicationError(text);
}

void TMainForm::CloseNow() {
  PostMessageW(Handle, WM_CLOSE, 0, 0);
}

bool TMainForm::OnCommand(int id, int code, HWND) {
  if (code != BN_CLICKED)
    return false;
  switch (id) {
  case kPortButtonId:
    RunHandler([this] { bRS232Click(); });
    return true;
  case kOpenButtonId:
    RunHandler([this] { bOpenClick(); });
    return true;
  case kLoadButtonId:
    RunHandler([this] { bLoadClick(); });
    return true;
  case IDCANCEL: // Escape in a dialog window: the main window stays
    return true;
  default:
    return false;
  }
}

bool TMainForm::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result) {
  switch (message) {
  case WM_CTLCOLORSTATIC:
    if (reinterpret_cast<HWND>(lParam) == Label1) {
      SetBkColor(reinterpret_cast<HDC>(wParam), kFuchsia);
      result = reinterpret_cast<INT_PTR>(FWarningBrush);
      return true;
    }
    return false;
  case WM_CLOSE:
    if (HandleClose())
      DestroyWindow(Handle);
    result = 0;
    return true;
  case WM_SIZE:
    if (FWaitingForRestore && wParam != SIZE_MINIMIZED) {
      FWaitingForRestore = false;
      PostMessageW(Handle, kFirstShowMessage, 0, 0);
    }
    return false;
  case kFirstShowMessage:
    WindowShown();
    result = 0;
    return true;
  case WM_DESTROY:
    PostQuitMessage(0);
    return false;
  default:
    return false;
  }
}

RECT TMainForm::Frame() const {
  RECT frame{};
  GetWindowRect(Handle, &frame);
  return frame;
}

int TMainForm::WindowState() const {
  if (IsIconic(Handle))
    return 1;
  return IsZoomed(Handle) ? 2 : 0;
}

void TMainForm::SetWindowState(int state) {
  ShowWindow(Handle, state == 1 ? SW_MINIMIZE : state == 2 ? SW_MAXIMIZE : SW_RESTORE);
}

// Minimized, the frame is off the screen: the placement of the normal window
// is what is stored.
int TMainForm::Left() const {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (IsIconic(Handle) && GetWindowPlacement(Handle, &placement))
    return placement.rcNormalPosition.left;
  return Frame().left;
}

void TMainForm::SetLeft(int value) {
  SetWindowPos(Handle, nullptr, value, Frame().top, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int TMainForm::Top() const {
  WINDOWPLACEMENT placement{};
  placement.length = sizeof placement;
  if (IsIconic(Handle) && GetWindowPlacement(Handle, &placement))
    return placement.rcNormalPosition.top;
  return Frame().top;
}

void TMainForm::SetTop(int value) {
  SetWindowPos(Handle, nullptr, Frame().left, value, 0, 0,
               SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

int TMainForm::Width() const {
  const RECT frame = Frame();
  return frame.right - frame.left;
}

int TMainForm::Height() const {
  const RECT frame = Frame();
  return frame.bottom - frame.top;
}
