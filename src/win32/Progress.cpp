#include "win32/Progress.h"

#include <commctrl.h>

#include <algorithm>

namespace {
constexpr wchar_t kGaugeClass[] = L"TGauge";
constexpr int kGaugeId = 200;
constexpr int kLabelId = 201;

int GaugeValue(HWND gauge) {
  return static_cast<int>(GetWindowLongPtrW(gauge, 0));
}

void PaintGauge(HWND gauge) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(gauge, &paint);
  RECT area{};
  GetClientRect(gauge, &area);
  // The single-line frame, then the bar inside it.
  FrameRect(dc, &area, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  InflateRect(&area, -1, -1);
  const int value = std::clamp(GaugeValue(gauge), 0, 100);
  RECT filled = area;
  filled.right = area.left + (area.right - area.left) * value / 100;
  RECT empty = area;
  empty.left = filled.right;
  FillRect(dc, &filled, static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH)));
  FillRect(dc, &empty, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
  // The text inverted: white where the bar is black, black where it is white.
  const std::wstring text = std::to_wstring(value) + L"%";
  HGDIOBJ oldFont = SelectObject(dc, GaugeFont());
  SetBkMode(dc, TRANSPARENT);
  SIZE extent{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &extent);
  const int x = area.left + (area.right - area.left - extent.cx) / 2;
  const int y = area.top + (area.bottom - area.top - extent.cy) / 2;
  SetTextColor(dc, RGB(255, 255, 255));
  ExtTextOutW(dc, x, y, ETO_CLIPPED, &filled, text.c_str(), static_cast<UINT>(text.size()),
              nullptr);
  SetTextColor(dc, RGB(0, 0, 0));
  ExtTextOutW(dc, x, y, ETO_CLIPPED, &empty, text.c_str(), static_cast<UINT>(text.size()), nullptr);
  SelectObject(dc, oldFont);
  EndPaint(gauge, &paint);
}

LRESULT CALLBACK GaugeProcedure(HWND gauge, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
  case PBM_SETPOS:
    SetWindowLongPtrW(gauge, 0, std::clamp(static_cast<int>(wParam), 0, 100));
    InvalidateRect(gauge, nullptr, FALSE);
    return 0;
  case PBM_GETPOS:
    return GaugeValue(gauge);
  case WM_PAINT:
    PaintGauge(gauge);
    return 0;
  case WM_ERASEBKGND:
    return 1;
  default:
    return DefWindowProcW(gauge, message, wParam, lParam);
  }
}
} // namespace

void RegisterGaugeClass() {
  WNDCLASSW gauge{};
  gauge.lpfnWndProc = GaugeProcedure;
  gauge.cbWndExtra = sizeof(LONG_PTR);
  gauge.hInstance = GetModuleHandleW(nullptr);
  gauge.hCursor = LoadCursorW(nullptr, IDC_ARROW);
  gauge.lpszClassName = kGaugeClass;
  RegisterClassW(&gauge);
}

// A caption without a system menu: no close, minimise or maximise button.
TProgressForm::TProgressForm(HWND owner)
    : TForm(L"Progress...", WS_POPUP | WS_CAPTION | DS_MODALFRAME, WS_EX_TOPMOST) {
  CreateModeless(owner);
}

TProgressForm::~TProgressForm() {
  if (Handle)
    DestroyWindow(Handle);
}

bool TProgressForm::OnInit() {
  SetClientSize(Handle, 261, 113);
  ProgressLabel = AddControl(Handle, WC_STATICW, Wide("Прогресс"), SS_CENTER | SS_NOPREFIX, 0, 0,
                             261, 41, kLabelId);
  ProgressGauge = AddControl(Handle, kGaugeClass, L"", 0, 21, 48, 220, 25, kGaugeId);
  BitBtn1 = AddControl(Handle, WC_BUTTONW, L"Cancel", WS_TABSTOP | BS_PUSHBUTTON, 75, 80, 111, 25,
                       IDCANCEL);
  FormCreate();
  return true;
}

void TProgressForm::FormCreate() {
  Cancelled = false;
}

void TProgressForm::BitBtn1Click() {
  Cancelled = true;
}

bool TProgressForm::OnCommand(int id, int, HWND) {
  // Escape reaches here as IDCANCEL too, while the button can be pressed.
  if (id == IDCANCEL) {
    if (IsWindowVisible(BitBtn1) && IsWindowEnabled(BitBtn1))
      BitBtn1Click();
    return true;
  }
  return false;
}

bool TProgressForm::OnMessage(UINT message, WPARAM, LPARAM, INT_PTR &result) {
  // Alt+F4 and the like: the window goes only when the run destroys it.
  if (message == WM_CLOSE) {
    result = 0;
    return true;
  }
  return false;
}

void TProgressForm::ShowView() {
  CentreOnScreen(Handle);
  ShowWindow(Handle, SW_SHOW);
  SetForegroundWindow(Handle);
  SetFocus(BitBtn1);
  UpdateWindow(Handle);
}

void TProgressForm::SetCancelVisible(bool visible) {
  ShowWindow(BitBtn1, visible ? SW_SHOW : SW_HIDE);
}

void TProgressForm::SetLabel(const std::string &text) {
  SetWindowTextW(ProgressLabel, Wide(text).c_str());
  UpdateWindow(ProgressLabel);
}

void TProgressForm::SetGaugeVisible(bool visible) {
  ShowWindow(ProgressGauge, visible ? SW_SHOW : SW_HIDE);
}

void TProgressForm::SetGaugeValue(int percent) {
  SendMessageW(ProgressGauge, PBM_SETPOS, static_cast<WPARAM>(percent), 0);
  UpdateWindow(ProgressGauge);
}
