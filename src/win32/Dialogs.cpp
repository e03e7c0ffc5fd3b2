#include "win32/Dialogs.h"

#include "win32/Forms.h"

#include "link/Zor_RS_Base.h"

#include <commctrl.h>

#include <algorithm>
#include <cwctype>

namespace {
// Bitmap buttons of the standard kinds keep the toolkit's English captions.
constexpr wchar_t kOkCaption[] = L"OK";
constexpr wchar_t kCancelCaption[] = L"Cancel";
constexpr wchar_t kHelpCaption[] = L"&Help";
constexpr int kPortListId = 100;
constexpr int kBaudEditId = 101;
constexpr int kBaudSpinId = 102;
constexpr int kPasswordEditId = 103;
constexpr int kBaudStep = 10;
constexpr int kPasswordLength = 10;
constexpr wchar_t kPasswordChar = L'$';
// A fixed dialog frame whose title bar carries only the close box.
constexpr DWORD kDialogStyle = DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_SYSMENU;

std::wstring HelpText(int helpContext) {
  switch (helpContext) {
  case kPortNumberHelpContext:
    return Wide("Выбор последовательного порта, через который программа связывается с "
                "устройством.\n\nВ списке только порты COM1–COM32, которые сейчас можно открыть. "
                "OK открывает выбранный порт; Cancel снова открывает прежний. Номер порта "
                "запоминается в файле настроек при выходе из программы.");
  case kBaudRateHelpContext:
    return Wide("Скорость обмена последовательного порта, в бодах: от 110 до 921600.\n\nЧисло "
                "можно ввести или менять кнопками со стрелками и клавишами ↑ и ↓ с шагом 10; "
                "число вне пределов заменяется ближайшей границей.\n\nOK сразу переключает "
                "открытый порт на новую скорость; в файл настроек она не записывается.");
  default:
    return Wide("Справка для раздела " + std::to_string(helpContext) + " отсутствует.");
  }
}

// Help (the button, F1) shows the context's text; the dialog stays open.
bool ShowHelpOn(HWND dialog, int helpContext, UINT message) {
  if (message != WM_HELP)
    return false;
  wchar_t caption[256] = {};
  GetWindowTextW(dialog, caption, 256);
  MessageBoxW(dialog, HelpText(helpContext).c_str(), caption, MB_OK | MB_ICONINFORMATION);
  return true;
}

void AddButtons(HWND form, int top, int width, int height, int okLeft, int cancelLeft,
                int helpLeft) {
  AddControl(form, WC_BUTTONW, kOkCaption, WS_TABSTOP | BS_DEFPUSHBUTTON, okLeft, top, width,
             height, IDOK);
  AddControl(form, WC_BUTTONW, kCancelCaption, WS_TABSTOP | BS_PUSHBUTTON, cancelLeft, top, width,
             height, IDCANCEL);
  if (helpLeft >= 0)
    AddControl(form, WC_BUTTONW, kHelpCaption, WS_TABSTOP | BS_PUSHBUTTON, helpLeft, top, width,
               height, IDHELP);
}

// A dialog of OK, Cancel and, with a help context, Help (the button and F1):
// OK takes the dialog's values (Accept) and closes it; Cancel and Escape
// close it; Help shows the context's text and keeps it open.
class TOkCancelDialog : public TForm {
protected:
  TOkCancelDialog(std::wstring caption, int helpContext)
      : TForm(std::move(caption), kDialogStyle), FHelpContext(helpContext) {}
  virtual void Accept() {}
  bool OnCommand(int id, int, HWND) override {
    switch (id) {
    case IDOK:
      Accept();
      EndDialog(Handle, IDOK);
      return true;
    case IDCANCEL:
      EndDialog(Handle, IDCANCEL);
      return true;
    case IDHELP:
      return FHelpContext != 0 && ShowHelpOn(Handle, FHelpContext, WM_HELP);
    default:
      return false;
    }
  }
  bool OnMessage(UINT message, WPARAM, LPARAM, INT_PTR &result) override {
    result = TRUE;
    return FHelpContext != 0 && ShowHelpOn(Handle, FHelpContext, message);
  }

private:
  int FHelpContext;
};

class TZor_RS232_SetNumDlg final : public TOkCancelDialog {
public:
  explicit TZor_RS232_SetNumDlg(const PortChoice &choice)
      : TOkCancelDialog(Wide("Выбор номера порта"), kPortNumberHelpContext), FChoice(choice) {}
  int Selected = -1;

private:
  bool OnInit() override {
    SetClientSize(Handle, 337, 85);
    CentreOnScreen(Handle);
    SetWindowContextHelpId(Handle, kPortNumberHelpContext);
    AddControl(Handle, WC_STATICW, Wide("Выберите последовательный порт"), SS_LEFT, 8, 8, 201, 13,
               -1);
    PCB = AddControl(Handle, WC_COMBOBOXW, L"", WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 224, 8,
                     105, 200, kPortListId);
    SendMessageW(PCB, CB_SETITEMHEIGHT, 0, 13);
    for (const std::string &entry : FChoice.Entries)
      SendMessageW(PCB, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(Wide(entry).c_str()));
    SendMessageW(PCB, CB_SETCURSEL, static_cast<WPARAM>(FChoice.Selected), 0);
    AddButtons(Handle, 48, 80, 27, 64, 156, 248);
    SetFocus(PCB);
    return false;
  }
  void Accept() override { Selected = static_cast<int>(SendMessageW(PCB, CB_GETCURSEL, 0, 0)); }

  const PortChoice &FChoice;
  HWND PCB = nullptr;
};

// Digits and signs only; control keys pass; anything else beeps.
LRESULT CALLBACK FilterBaudKeys(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                DWORD_PTR) {
  if (message == WM_CHAR) {
    const wchar_t c = static_cast<wchar_t>(wParam);
    const bool allowed = (c >= L'0' && c <= L'9') || c == L'+' || c == L'-' || c < L' ';
    if (!allowed) {
      MessageBeep(MB_OK);
      return 0;
    }
  }
  return DefSubclassProc(edit, message, wParam, lParam);
}

// Letters and digits only, one per position; control keys pass.
LRESULT CALLBACK FilterPasswordKeys(HWND edit, UINT message, WPARAM wParam, LPARAM lParam, UINT_PTR,
                                    DWORD_PTR) {
  if (message == WM_CHAR) {
    const wchar_t c = static_cast<wchar_t>(wParam);
    if (c >= L' ' && !IsCharAlphaNumericW(c)) {
      MessageBeep(MB_OK);
      return 0;
    }
  }
  return DefSubclassProc(edit, message, wParam, lParam);
}

class TZor_RS232_SetBRDlg final : public TOkCancelDialog {
public:
  explicit TZor_RS232_SetBRDlg(uint32_t current)
      : TOkCancelDialog(Wide("Выбор скорости обмена СОМ-порта"), kBaudRateHelpContext),
        FCurrent(current) {}
  int64_t Value = kMinBaudRate;

private:
  bool OnInit() override {
    SetClientSize(Handle, 301, 89);
    CentreOnScreen(Handle);
    SetWindowContextHelpId(Handle, kBaudRateHelpContext);
    AddControl(Handle, WC_STATICW, Wide("Скорость обмена, бод"), SS_LEFT, 8, 16, 153, 13, -1);
    AddButtons(Handle, 48, 80, 27, 8, 108, 208);
    BSE = AddControl(Handle, WC_EDITW, L"", WS_TABSTOP | ES_RIGHT | ES_AUTOHSCROLL, 192, 12, 97, 21,
                     kBaudEditId, WS_EX_CLIENTEDGE);
    SetWindowSubclass(BSE, FilterBaudKeys, 0, 0);
    HWND spin = CreateWindowExW(0, UPDOWN_CLASSW, L"",
                                WS_CHILD | WS_VISIBLE | UDS_ALIGNRIGHT | UDS_ARROWKEYS |
                                    UDS_SETBUDDYINT | UDS_NOTHOUSANDS,
                                0, 0, 0, 0, Handle, reinterpret_cast<HMENU>(kBaudSpinId),
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(spin, UDM_SETBUDDY, reinterpret_cast<WPARAM>(BSE), 0);
    SendMessageW(spin, UDM_SETRANGE32, kMinBaudRate, kMaxBaudRate);
    UDACCEL step{0, kBaudStep};
    SendMessageW(spin, UDM_SETACCEL, 1, reinterpret_cast<LPARAM>(&step));
    FSpin = spin;
    Show(std::clamp<int64_t>(FCurrent, kMinBaudRate, kMaxBaudRate));
    return true;
  }
  void Show(int64_t value) {
    SetWindowTextW(BSE, std::to_wstring(value).c_str());
    SendMessageW(FSpin, UDM_SETPOS32, 0, static_cast<LPARAM>(value));
  }
  int64_t Read() const {
    wchar_t text[64] = {};
    GetWindowTextW(BSE, text, 64);
    return BaudRateFromText(text);
  }
  bool OnCommand(int id, int code, HWND control) override {
    if (id == kBaudEditId && code == EN_KILLFOCUS) {
      Show(Read());
      return true;
    }
    return TOkCancelDialog::OnCommand(id, code, control);
  }
  // Enter in the field closes the dialog without the focus-out: the nearer
  // bound is meant all the same.
  void Accept() override { Value = Read(); }

  uint32_t FCurrent;
  HWND BSE = nullptr;
  HWND FSpin = nullptr;
};

class TPasswDlg final : public TOkCancelDialog {
public:
  explicit TPasswDlg(std::string message)
      : TOkCancelDialog(Wide("Контроль доступа"), 0), FMessage(std::move(message)) {}
  std::string Typed;

private:
  bool OnInit() override {
    SetClientSize(Handle, 233, 139);
    CentreOnScreen(Handle);
    AddControl(Handle, WC_STATICW, Wide(FMessage), SS_CENTER | SS_NOPREFIX, 8, 9, 217, 39, -1);
    MaskEdit1 = AddControl(Handle, WC_EDITW, L"", WS_TABSTOP | ES_PASSWORD | ES_AUTOHSCROLL, 53, 64,
                           128, 21, kPasswordEditId, WS_EX_CLIENTEDGE);
    SendMessageW(MaskEdit1, EM_SETPASSWORDCHAR, kPasswordChar, 0);
    SendMessageW(MaskEdit1, EM_LIMITTEXT, kPasswordLength, 0);
    SetWindowSubclass(MaskEdit1, FilterPasswordKeys, 0, 0);
    AddButtons(Handle, 99, 77, 27, 18, 130, -1);
    SetFocus(MaskEdit1);
    return false;
  }
  void Accept() override {
    wchar_t text[kPasswordLength + 1] = {};
    GetWindowTextW(MaskEdit1, text, kPasswordLength + 1);
    Typed = Utf8(text);
  }

  std::string FMessage;
  HWND MaskEdit1 = nullptr;
};
} // namespace

int64_t BaudRateFromText(const std::wstring &text) {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == L'+' || text[i] == L'-'))
    negative = text[i++] == L'-';
  if (i == text.size())
    return kMinBaudRate;
  int64_t value = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < L'0' || text[i] > L'9')
      return kMinBaudRate;
    value = std::min<int64_t>(value * 10 + (text[i] - L'0'), int64_t{1} << 40);
  }
  return std::clamp<int64_t>(negative ? -value : value, kMinBaudRate, kMaxBaudRate);
}

std::optional<int> RunPortNumberDialog(const PortChoice &choice) {
  TZor_RS232_SetNumDlg dialog(choice);
  if (dialog.ShowModal(OwnerForBoxes()) != IDOK)
    return std::nullopt;
  return dialog.Selected;
}

std::optional<int64_t> RunBaudRateDialog(uint32_t current) {
  TZor_RS232_SetBRDlg dialog(current);
  if (dialog.ShowModal(OwnerForBoxes()) != IDOK)
    return std::nullopt;
  return dialog.Value;
}

std::optional<std::string> RunPasswordDialog(const std::string &message) {
  TPasswDlg dialog(message);
  if (dialog.ShowModal(OwnerForBoxes()) != IDOK)
    return std::nullopt;
  return dialog.Typed;
}
