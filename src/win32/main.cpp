// korvalen.exe: the desktop program on Windows. No argument or environment
// variable is read.
#include "win32/Main.h"
#include "win32/Progress.h"
#include "win32/Win32Hooks.h"

#include <windows.h>

#include <commctrl.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int showCommand) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  RegisterGaugeClass();
  // Message boxes, the pump and the link's dialogs, before anything can show
  // a box.
  TWin32Hooks hooks;
  int result = 0;
  {
    TMainForm mainForm;
    // A copy the guard refused ends here, without a word and without
    // touching a serial port or the settings file.
    if (!mainForm.QuitRequested()) {
      mainForm.Start(showCommand);
      MSG message;
      while (GetMessageW(&message, nullptr, 0, 0) > 0)
        DispatchForForms(message);
      result = static_cast<int>(message.wParam);
    }
    // The most recently created goes first: the link (closing its port), then
    // the main window (giving up the guard's mutex).
    ReleaseLink();
  }
  return result;
}
