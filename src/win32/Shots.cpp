// korvalen-shots.exe: shows one of the forms that the desktop program opens
// only on request of the core (the baud-rate dialog, the password dialog),
// for the screenshots and the GUI test. Not installed.
//   korvalen-shots.exe baud-rate-dialog|password-dialog
#include "win32/Dialogs.h"

#include <windows.h>

#include <commctrl.h>

#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  const std::wstring form = commandLine ? commandLine : L"";
  if (form == L"baud-rate-dialog") {
    RunBaudRateDialog(19200);
    return 0;
  }
  if (form == L"password-dialog") {
    RunPasswordDialog("Данная команда будет выполняться только после ввода пароля!");
    return 0;
  }
  return 64;
}
