#include "win32/Main.h"

#include "win32/Progress.h"

#include "runtime/ProgramPath.h"

#include <commctrl.h>
#include <commdlg.h>

#include <vector>

namespace {
const char *const kMainCaption = "Korvalen";
const char *const kPortButtonCaption = "Выбрать СОМ-порт"; // С, О, М are Cyrillic
const char *const kOpenButtonCaption = "Открыть файл прошивки";
const char *const kLoadButtonCaption = "Загрузить ";
const char *const kWarningText =
    "ВНИМАНИЕ!\r\nВнимательно проверьте соответствие версий Вашего устройства и загружаемого "
    "программного обеспечения. При их несовпадении устройство может выйти из строя.";
const char *const kImageFilterName = "Файлы прошивок (*.rom)";
constexpr wchar_t kImagePattern[] = L"*.rom";

constexpr int kClientWidth = 361;
constexpr int kClientHeight = 251;
constexpr int kWarningHeight = 75;
constexpr COLORREF kFuchsia = RGB(0xFF, 0x00, 0xFF);
constexpr int kPortButtonId = 300;
constexpr int kOpenButtonId = 301;
constexpr int kLoadButtonId = 302;
constexpr int kFileLabelId = 303;
constexpr int kWarningId = 304;
constexpr int kIconId = 1;
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

TMainForm::TMainForm(MainWindowSetup setup)
    : TForm(L"", WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | DS_MODALFRAME),
      Flow(std::move(setup)) {
  // The guard checks at once, before anything is shown.
  JustOne1 = std::make_unique<TJustOne>([this] { FQuitRequested = true; });
  OpenDialog1.Filter = Wide(kImageFilterName) + L'\0' + kImagePattern + L'\0';
  WarningBrush = CreateSolidBrush(kFuchsia);
  CreateModeless(nullptr);
}

TMainForm::~TMainForm() {
  if (Handle)
    DestroyWindow(Handle);
  DeleteObject(WarningBrush);
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
  bRS232 = AddControl(Handle, WC_BUTTONW, Wide(kPortButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, 24,
                      16, 321, 25, kPortButtonId);
  bOpen = AddControl(Handle, WC_BUTTONW, Wide(kOpenButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, 24,
                     56, 321, 25, kOpenButtonId);
  lFN = AddControl(Handle, WC_STATICW, L"", SS_LEFT | SS_NOPREFIX, 24, 88, 321, 41, kFileLabelId);
  bLoad = AddControl(Handle, WC_BUTTONW, Wide(kLoadButtonCaption), WS_TABSTOP | BS_PUSHBUTTON, 24,
                     136, 321, 25, kLoadButtonId);
  Label1 = AddControl(Handle, WC_STATICW, Wide(kWarningText), SS_CENTER | SS_NOPREFIX, 0,
                      kClientHeight - kWarningHeight, kClientWidth, kWarningHeight, kWarningId);
  return true;
}

void TMainForm::ShowFirst(int showCommand) {
  FInFirstShow = true;
  FPendingState = 0;
  try {
    FormShow();
  } catch (const std::exception &error) {
    ShowFailure(error.what());
  } catch (...) {
    ShowFailure("Unknown error");
  }
  FInFirstShow = false;
  // Centred once, whatever Left and Top said; the state read does count, and
  // so does a shortcut set to run minimized.
  CentreOnScreen(Handle);
  int command = SW_SHOWNORMAL;
  if (FPendingState == 1 || showCommand == SW_SHOWMINIMIZED || showCommand == SW_MINIMIZE ||
      showCommand == SW_SHOWMINNOACTIVE)
    command = SW_SHOWMINIMIZED;
  else if (FPendingState == 2)
    command = SW_SHOWMAXIMIZED;
  ShowWindow(Handle, command);
  SetFocus(bRS232);
}

void TMainForm::FormShow() {
  SetWindowTextW(Handle, Wide(kMainCaption).c_str());
  Flow.Show(*this);
  SetWindowTextW(lFN, Wide(Flow.FileName).c_str());
  OpenDialog1.InitialDir = Flow.ProgramFolder().wstring();
}

void TMainForm::FormClose() {
  Flow.Close(*this, JustOne1->FirstInstance() && !FQuitRequested);
}

void TMainForm::bRS232Click() {
  Flow.ChoosePort();
}

void TMainForm::bOpenClick() {
  if (!OpenDialog1.Execute(Handle))
    return;
  Flow.FileName = Utf8(OpenDialog1.FileName);
  SetWindowTextW(lFN, OpenDialog1.FileName.c_str());
}

void TMainForm::bLoadClick() {
  HWND owner = Handle;
  Flow.Load([owner] { return std::make_unique<TProgressForm>(owner); });
}

void TMainForm::ShowFailure(const std::string &text) {
  ShowApplicationError(text);
}

void TMainForm::RunHandler(void (TMainForm::*handler)()) {
  const bool closeNow = Flow.RunHandler([this, handler] { (this->*handler)(); },
                                        [this](const std::string &text) { ShowFailure(text); });
  if (closeNow)
    PostMessageW(Handle, WM_CLOSE, 0, 0);
}

bool TMainForm::OnCommand(int id, int code, HWND) {
  if (code != BN_CLICKED)
    return false;
  switch (id) {
  case kPortButtonId:
    RunHandler(&TMainForm::bRS232Click);
    return true;
  case kOpenButtonId:
    RunHandler(&TMainForm::bOpenClick);
    return true;
  case kLoadButtonId:
    RunHandler(&TMainForm::bLoadClick);
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
      result = reinterpret_cast<INT_PTR>(WarningBrush);
      return true;
    }
    return false;
  case WM_CLOSE:
    // A run still uses the link and this window: it closes once it is over.
    if (!Flow.AllowClose()) {
      result = 0;
      return true;
    }
    try {
      FormClose();
    } catch (const std::exception &error) {
      ShowFailure(error.what());
    } catch (...) {
      ShowFailure("Unknown error");
    }
    DestroyWindow(Handle);
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
  if (FInFirstShow)
    return FPendingState;
  if (IsIconic(Handle))
    return 1;
  return IsZoomed(Handle) ? 2 : 0;
}

void TMainForm::SetWindowState(int state) {
  if (state < 0 || state > 2)
    state = 0;
  if (FInFirstShow) {
    FPendingState = state;
    return;
  }
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
