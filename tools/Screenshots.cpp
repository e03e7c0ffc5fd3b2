// korvalen-shots OUT_DIR: renders the program's windows to PNG files for the
// documentation (main-window.png, progress.png, port-dialog.png,
// password-dialog.png). Each window is built and set to a typical state, then
// drawn off screen; nothing is opened, loaded or written besides the images.
#include "qt/Main.h"
#include "qt/PassW.h"
#include "qt/Progress.h"
#include "qt/Zor_RS232_SetNum.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>

namespace {

bool Save(QWidget &widget, const QString &path) {
  widget.ensurePolished();
  QCoreApplication::processEvents();
  if (widget.grab().save(path, "PNG"))
    return true;
  std::fprintf(stderr, "korvalen-shots: cannot write %s\n", qPrintable(path));
  return false;
}

} // namespace

int main(int argc, char **argv) {
  if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: korvalen-shots OUT_DIR\n");
    return 2;
  }
  const QDir out(QString::fromLocal8Bit(argv[1]));
  if (!out.exists() && !QDir().mkpath(out.path())) {
    std::fprintf(stderr, "korvalen-shots: cannot make %s\n", argv[1]);
    return 1;
  }
  bool ok = true;

  {
    // The guard's marker goes to a folder of its own; the window is drawn
    // without being shown, so its show handler (ports, settings) never runs.
    QTemporaryDir guardFolder;
    MainFormEnvironment environment;
    environment.GuardName = "korvalen-shots";
    environment.GuardFolder = guardFolder.path().toStdString();
    TMainForm form(environment);
    form.setWindowTitle(QStringLiteral("Korvalen"));
    form.lFN->setText(QStringLiteral("/home/bench/firmware/Контроллер насоса v2.3.rom"));
    ok &= Save(form, out.filePath(QStringLiteral("main-window.png")));
  }
  {
    TProgressForm progress;
    progress.SetCancelVisible(true);
    progress.SetLabel("Загрузка программы...");
    progress.SetGaugeVisible(true);
    progress.SetGaugeValue(62);
    ok &= Save(progress, out.filePath(QStringLiteral("progress.png")));
  }
  {
    TZor_RS232_SetNumDlg dialog;
    dialog.AddPort(QStringLiteral("COM1"), QStringLiteral("/dev/ttyUSB0"));
    dialog.AddPort(QStringLiteral("COM3"), QStringLiteral("/dev/serial/by-id/usb-FTDI_RS485-if00"));
    dialog.AddPort(QStringLiteral("COM25"), QStringLiteral("/dev/ttyACM0"));
    dialog.PCB->setCurrentIndex(1);
    ok &= Save(dialog, out.filePath(QStringLiteral("port-dialog.png")));
  }
  {
    TPasswDlg dialog;
    dialog.Label1->setText(
        QStringLiteral("Данная команда будет выполняться только после ввода пароля!"));
    ok &= Save(dialog, out.filePath(QStringLiteral("password-dialog.png")));
  }
  return ok ? 0 : 1;
}
