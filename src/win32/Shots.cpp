// korvalen-shots.exe: shows one of the forms that the desktop program opens
// only on request of the core (the baud-rate dialog, the password dialog),
// for the screenshots and the GUI test, and writes the form's answer to
// standard output ("OK <value>" or "Cancel"). Not installed.
//   korvalen-shots.exe baud-rate-dialog|password-dialog
#include "win32/Dialogs.h"

#include <windows.h>

#include <commctrl.h>

#include <cstdio>
#include <optional>
#include <string>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR commandLine, int) {
  INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_UPDOWN_CLASS};
  InitCommonControlsEx(&controls);
  const std::wstring form = commandLine ? commandLine : L"";
  if (form == L"baud-rate-dialog") {
    const std::optional<int64_t> rate = RunBaudRateDialog(19200);
    if (rate)
      std::printf("OK %lld\n", static_cast<long long>(*rate));
    else
      std::printf("Cancel\n");
  } else if (form == L"password-dialog") {
    const std::optional<std::string> typed =
        RunPasswordDialog("Данная команда будет выполняться только после ввода пароля!");
    if (typed)
      std::printf("OK %s\n", typed->c_str());
    else
      std::printf("Cancel\n");
  } else {
    return 64;
  }
  std::fflush(stdout);
  return 0;
}
