// What every window of the Win32 front end is built from: text conversion at
// the seam (UTF-8 in the core, UTF-16 at Windows), the forms' fonts, controls
// placed in pixels, modal and modeless forms from an empty dialog template.
#pragma once

#include <windows.h>

#include <string>

// The core's UTF-8 and Windows' UTF-16, converted once, here.
std::wstring Wide(const std::string &utf8);
std::string Utf8(const std::wstring &wide);

// MS Sans Serif, height -11 (8 point), the Cyrillic character set: the font
// of every form.
HFONT FormFont();
// The same face, height -13: the gauge's percentage.
HFONT GaugeFont();

// A child control at `x`, `y`, `width` x `height` pixels of the client area,
// in the form's font; the tab order is the order of creation.
HWND AddControl(HWND parent, const wchar_t *windowClass, const std::wstring &text, DWORD style,
                int x, int y, int width, int height, int id, DWORD exStyle = 0);
// The window's size such that its client area is `width` x `height`.
void SetClientSize(HWND window, int width, int height);
// Left = (screen width - window width) / 2, top likewise, each at least 0.
void CentreOnScreen(HWND window);

// The window that boxes are owned by: the program's active window (the
// progress window during a load), else its newest visible form.
HWND OwnerForBoxes();

// A form made from an empty dialog template: the dialog manager gives
// Enter (the default button), Escape (IDCANCEL), Tab and the close box; the
// form creates its controls in OnInit, in pixels. Derived forms handle what
// they need.
class TForm {
public:
  virtual ~TForm() = default;
  HWND Handle = nullptr;

  // Modal: returns the result EndDialog gave (IDCANCEL for the close box).
  INT_PTR ShowModal(HWND owner);
  // Modeless, created hidden; the message pump routes its keys.
  void CreateModeless(HWND owner);

protected:
  TForm(std::wstring caption, DWORD style, DWORD exStyle = 0);
  // Creates the controls. Answers whether the dialog manager is to focus the
  // first control (false: OnInit set the focus itself).
  virtual bool OnInit() = 0;
  virtual bool OnCommand(int id, int code, HWND control);
  // Any other message; answers whether it was handled, `result` its result.
  virtual bool OnMessage(UINT message, WPARAM wParam, LPARAM lParam, INT_PTR &result);

private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  std::wstring FCaption;
  DWORD FStyle;
  DWORD FExStyle;
};

// Modeless forms whose keys the pump gives to IsDialogMessage.
void RegisterModeless(HWND window);
void UnregisterModeless(HWND window);
// Dispatches one message as the program's loops do.
void DispatchForForms(MSG &message);
