// The desktop program's entry. No argument is read (Qt's own platform options
// aside), and one environment variable: $XDG_RUNTIME_DIR, the folder of the
// single-instance lock file (see JustOne.h).
#include "qt/Main.h"
#include "qt/QtHooks.h"
#include "runtime/StandardDescriptors.h"

#include <QApplication>
#include <memory>

int main(int argc, char **argv) {
  // Before anything is opened: the single-instance lock or the serial port
  // must never become the terminal's stream that Qt writes its warnings to.
  if (!OpenStandardDescriptors())
    return kExitNoDescriptors;
  QApplication application(argc, argv);
  // Message boxes, the event pump and the link's dialogs, before anything can
  // show a box.
  InstallQtHooks();
  int result = 0;
  {
    auto mainForm = std::make_unique<TMainForm>();
    // A copy the guard refused ends here, without a word: showing it would
    // scan and open a serial port and could show a box (no free port) whose
    // own event loop would swallow the queued quit.
    if (!mainForm->QuitRequested()) {
      mainForm->show();
      result = QApplication::exec();
    }
    // The most recently created goes first: the link (closing its port), then
    // the main window (giving up the single-instance marker).
    ReleaseLink();
  }
  UninstallQtHooks();
  return result;
}
