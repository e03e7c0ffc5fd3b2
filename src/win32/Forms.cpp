#include "win32/Forms.h"

#include <algorithm>
#include <vector>

namespace {
constexpr wchar_t kFaceName[] = L"MS Sans Serif";
std::vector<HWND> gModeless;

HFONT MakeFont(int height) {
  return CreateFontW(height, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, RUSSIAN_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, kFaceName);
}

// An empty dialog template: no menu, the dialog class, the caption, no
// controls. WORD-aligned as the dialog manager wants it.
std::vector<WORD> EmptyTemplate(const std::wstring &caption, DWORD style, DWORD exStyle) {
  std::vector<WORD> words(sizeof(DLGTEMPLATE) / sizeof(WORD), 0);
  auto *header = reinterpret_cast<DLGTEMPLATE *>(words.data());
  header->style = style;
  header->dwExtendedStyle = exStyle;
  header->cdit = 0;
  header->x = header->y = 0;
  header->cx = 100;
  header->cy = 50;
  words.push_back(0); // menu
  words.push_back(0); // class
  for (wchar_t c : caption)
    words.push_back(static_cast<WORD>(c));
  words.push_back(0);
  return words;
}
} // namespace

std::wstring Wide(const std::string &utf8) {
  if (utf8.empty())
    return {};
  const int size =
      MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring wide(static_cast<size_t>(size), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), size);
  return wide;
}

std::string Utf8(const std::wstring &wide) {
  if (wide.empty())
    return {};
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(size), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size,
                      nullptr, nullptr);
  return utf8;
}

HFONT FormFont() {
  static const HFONT font = MakeFont(-11);
  return font;
}

HFONT GaugeFont() {
  static const HFONT font = MakeFont(-13);
  return font;
}

HWND AddControl(HWND parent, const wchar_t *windowClass, const std::wstring &text, DWORD style,
                int x, int y, int width, int height, int id, DWORD exStyle) {
  HWND control =
      CreateWindowExW(exStyle, windowClass, text.c_str(), WS_CHILD | WS_VISIBLE | style, x, y,
                      width, height, parent, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                      GetModuleHandleW(nullptr), nullptr);
  SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(FormFont()), FALSE);
  return control;
}

void SetClientSize(HWND window, int width, int height) {
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongPtrW(window, GWL_STYLE)), FALSE,
                     static_cast<DWORD>(GetWindowLongPtrW(window, GWL_EXSTYLE)));
  SetWindowPos(window, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void CentreOnScreen(HWND window) {
  RECT frame{};
  GetWindowRect(window, &frame);
  const int width = frame.right - frame.left;
  const int height = frame.bottom - frame.top;
  const int left = std::max(0, (GetSystemMetrics(SM_CXSCREEN) - width) / 2);
  const int top = std::max(0, (GetSystemMetrics(SM_CYSCREEN) - height) / 2);
  SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// With the program in the background there is no active window: the newest
// visible form (the progress window during a load) owns the box then.
HWND OwnerForBoxes() {
  if (HWND active = GetActiveWindow())
    return active;
  for (auto form = gModeless.rbegin(); form != gModeless.rend(); ++form)
    if (IsWindowVisible(*form))
      return *form;
  return nullptr;
}

TForm::TForm(std::wstring caption, DWORD style, DWORD exStyle)
    : FCaption(std::move(caption)), FStyle(style), FExStyle(exStyle) {}

INT_PTR TForm::ShowModal(HWND owner) {
  const std::vector<WORD> form = EmptyTemplate(FCaption, FStyle, FExStyle);
  return DialogBoxIndirectParamW(GetModuleHandleW(nullptr),
                                 reinterpret_cast<const DLGTEMPLATE *>(form.data()), owner,
                                 &TForm::Procedure, reinterpret_cast<LPARAM>(this));
}

void TForm::CreateModeless(HWND owner) {
  const std::vector<WORD> form = EmptyTemplate(FCaption, FStyle & ~WS_VISIBLE, FExStyle);
  CreateDialogIndirectParamW(GetModuleHandleW(nullptr),
                             reinterpret_cast<const DLGTEMPLATE *>(form.data()), owner,
                             &TForm::Procedure, reinterpret_cast<LPARAM>(this));
  RegisterModeless(Handle);
}

bool TForm::OnCommand(int, int, HWND) {
  return false;
}

bool TForm::OnMessage(UINT, WPARAM, LPARAM, INT_PTR &) {
  return false;
}

INT_PTR CALLBACK TForm::Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto *form = reinterpret_cast<TForm *>(lParam);
    SetWindowLongPtrW(window, DWLP_USER, lParam);
    form->Handle = window;
    SendMessageW(window, WM_SETFONT, reinterpret_cast<WPARAM>(FormFont()), FALSE);
    return form->OnInit() ? TRUE : FALSE;
  }
  auto *form = reinterpret_cast<TForm *>(GetWindowLongPtrW(window, DWLP_USER));
  if (!form)
    return FALSE;
  if (message == WM_COMMAND &&
      form->OnCommand(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam)))
    return TRUE;
  INT_PTR result = 0;
  if (form->OnMessage(message, wParam, lParam, result)) {
    // Colour messages answer a brush; the others answer through DWLP_MSGRESULT.
    if (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC)
      return result;
    SetWindowLongPtrW(window, DWLP_MSGRESULT, result);
    return TRUE;
  }
  if (message == WM_NCDESTROY) {
    UnregisterModeless(window);
    form->Handle = nullptr;
    SetWindowLongPtrW(window, DWLP_USER, 0);
  }
  return FALSE;
}

void RegisterModeless(HWND window) {
  if (window && std::find(gModeless.begin(), gModeless.end(), window) == gModeless.end())
    gModeless.push_back(window);
}

void UnregisterModeless(HWND window) {
  gModeless.erase(std::remove(gModeless.begin(), gModeless.end(), window), gModeless.end());
}

void DispatchForForms(MSG &message) {
  const HWND root = message.hwnd ? GetAncestor(message.hwnd, GA_ROOT) : nullptr;
  if (root && std::find(gModeless.begin(), gModeless.end(), root) != gModeless.end() &&
      IsDialogMessageW(root, &message))
    return;
  TranslateMessage(&message);
  DispatchMessageW(&message);
}
