#include "qt/DialogFrame.h"

#include "qt/FormStyle.h"

#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QStyle>

namespace {
QPushButton *MakeButton(QDialog *dialog, const QString &caption, QStyle::StandardPixmap glyph,
                        const char *name) {
  auto *button = new QPushButton(dialog->style()->standardIcon(glyph), caption, dialog);
  button->setObjectName(QLatin1String(name));
  button->setFont(SansSerifFont(11));
  return button;
}
} // namespace

void SetUpFixedDialog(QDialog *dialog, const QString &caption, int clientWidth, int clientHeight) {
  dialog->setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog->setWindowTitle(caption);
  dialog->setFont(SansSerifFont(11));
  dialog->setFixedSize(clientWidth, clientHeight);
  dialog->setSizeGripEnabled(false);
  CentreOnScreenWhenShown(dialog);
}

QPushButton *MakeOkButton(QDialog *dialog) {
  QPushButton *button =
      MakeButton(dialog, QStringLiteral("OK"), QStyle::SP_DialogOkButton, "OKBtn");
  button->setDefault(true);
  QObject::connect(button, &QPushButton::clicked, dialog, &QDialog::accept);
  return button;
}

QPushButton *MakeCancelButton(QDialog *dialog) {
  QPushButton *button =
      MakeButton(dialog, QStringLiteral("Cancel"), QStyle::SP_DialogCancelButton, "CancelBtn");
  QObject::connect(button, &QPushButton::clicked, dialog, &QDialog::reject);
  return button;
}

QPushButton *MakeHelpButton(QDialog *dialog, int helpContext) {
  QPushButton *button =
      MakeButton(dialog, QStringLiteral("&Help"), QStyle::SP_DialogHelpButton, "HelpBtn");
  button->setProperty("helpContext", helpContext);
  QObject::connect(button, &QPushButton::clicked, dialog,
                   [dialog, helpContext] { ShowHelpContext(dialog, helpContext); });
  return button;
}

QString HelpText(int helpContext) {
  switch (helpContext) {
  case kPortNumberDialogHelpContext:
    return QStringLiteral(
        "Выбор последовательного порта, через который программа связывается с устройством.\n\n"
        "В списке только порты, которые сейчас можно открыть; рядом с выбранным портом "
        "показано устройство, которое он означает. Если рядом с программой есть папка "
        "ports, порты берутся только из неё (COMn — ссылка на устройство); у программы, "
        "установленной в /usr или в другую папку, куда нельзя писать, эта папка лежит "
        "рядом с файлом настроек, в ~/.config/korvalen. Иначе "
        "COM1–COM8 — это /dev/ttyS0–/dev/ttyS7, COM9–COM24 — /dev/ttyUSB0–/dev/ttyUSB15, "
        "COM25–COM32 — /dev/ttyACM0–/dev/ttyACM7.\n\n"
        "OK открывает выбранный порт; Cancel снова открывает прежний. Номер порта "
        "запоминается в файле настроек при выходе из программы.");
  case kBaudRateHelpContext:
    return QStringLiteral(
        "Скорость обмена последовательного порта, в бодах: от 110 до 921600.\n\n"
        "Число можно ввести или менять кнопками со стрелками и клавишами ↑ и ↓ с шагом 10; "
        "число вне пределов заменяется ближайшей границей.\n\n"
        "OK сразу переключает открытый порт на новую скорость; в файл настроек она не "
        "записывается. Cancel оставляет прежнюю скорость.");
  default:
    return {};
  }
}

void ShowHelpContext(QWidget *parent, int helpContext) {
  QString text = HelpText(helpContext);
  if (text.isEmpty())
    text = QStringLiteral("Справка для раздела %1 отсутствует.").arg(helpContext);
  QMessageBox box(QMessageBox::Information, parent ? parent->windowTitle() : QString(), text,
                  QMessageBox::Ok, parent);
  box.setTextFormat(Qt::PlainText);
  box.setObjectName(QStringLiteral("HelpBox"));
  box.exec();
}
