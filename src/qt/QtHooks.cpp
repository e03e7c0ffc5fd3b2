#include "qt/QtHooks.h"

#include "qt/PassW.h"
#include "qt/Zor_RS232_SetBR.h"
#include "qt/Zor_RS232_SetNum.h"
#include "qt/FormStyle.h"
#include "qt/SpinEdit.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

namespace {
// Centred on the screen, not over the active window: its size is settled only
// in QMessageBox's own show handling, hence after it.
class TCentredMessageBox : public QMessageBox {
public:
  TCentredMessageBox(Icon icon, const QString &title, const std::string &text,
                     StandardButtons buttons)
      : QMessageBox(icon, title, QString::fromStdString(text), buttons) {
    setTextFormat(Qt::PlainText);
  }

protected:
  void showEvent(QShowEvent *event) override {
    QMessageBox::showEvent(event);
    CentreOnScreen(this);
  }
};

std::unique_ptr<TQtHooks> gInstalled;
} // namespace

void TQtMessagePresenter::Error(const std::string &text) {
  TCentredMessageBox box(QMessageBox::Critical, QStringLiteral("Error"), text, QMessageBox::Ok);
  box.exec();
}

void TQtMessagePresenter::Info(const std::string &text) {
  TCentredMessageBox box(QMessageBox::Information, QStringLiteral("Information"), text,
                         QMessageBox::Ok);
  box.exec();
}

uint16_t TQtMessagePresenter::YesNo(const std::string &text) {
  TCentredMessageBox box(QMessageBox::Question, QStringLiteral("Confirm"), text,
                         QMessageBox::Yes | QMessageBox::No);
  box.button(QMessageBox::Yes)->setText(QStringLiteral("&Yes"));
  box.button(QMessageBox::No)->setText(QStringLiteral("&No"));
  box.exec();
  if (box.clickedButton() == box.button(QMessageBox::Yes))
    return kYes;
  if (box.clickedButton() == box.button(QMessageBox::No))
    return kNo;
  return kCancelResult;
}

std::optional<int> RunPortNumberDialog(const PortChoice &choice) {
  TZor_RS232_SetNumDlg dialog;
  for (size_t i = 0; i < choice.Entries.size(); ++i) {
    const std::string path = i < choice.DevicePaths.size() ? choice.DevicePaths[i] : std::string();
    dialog.AddPort(QString::fromStdString(choice.Entries[i]), QString::fromStdString(path));
  }
  const bool selectable = choice.Selected >= 0 && choice.Selected < dialog.PCB->count();
  dialog.PCB->setCurrentIndex(selectable ? choice.Selected : -1);
  if (dialog.exec() != QDialog::Accepted)
    return std::nullopt;
  return dialog.PCB->currentIndex();
}

std::optional<int64_t> RunBaudRateDialog(uint32_t current) {
  TZor_RS232_SetBRDlg dialog;
  dialog.BSE->SetValue(current);
  if (dialog.exec() != QDialog::Accepted)
    return std::nullopt;
  return std::clamp(dialog.BSE->Value(), dialog.BSE->MinValue(), dialog.BSE->MaxValue());
}

TQtHooks::TQtHooks()
    : FPreviousPresenter(SetMessagePresenter(&FPresenter)),
      FPreviousPump(SetProcessMessagesHook([] { QCoreApplication::processEvents(); })),
      FPreviousDialogs(SetDialogHooks(DialogHooks{
          .ChoosePort = RunPortNumberDialog,
          .ChooseBaudRate = RunBaudRateDialog,
          .AskPassword = ExecPasswDlg,
      })) {}

TQtHooks::~TQtHooks() {
  SetDialogHooks(std::move(FPreviousDialogs));
  SetProcessMessagesHook(std::move(FPreviousPump));
  SetMessagePresenter(FPreviousPresenter);
}

void InstallQtHooks() {
  if (!gInstalled)
    gInstalled = std::make_unique<TQtHooks>();
}

void UninstallQtHooks() {
  gInstalled.reset();
}

QString ApplicationErrorText(const std::string &text) {
  QString shown = QString::fromStdString(text);
  if (!shown.isEmpty() && shown.back() > QLatin1Char('.'))
    shown += QLatin1Char('.');
  return shown;
}

void ShowApplicationError(const QString &title, const std::string &text) {
  TCentredMessageBox box(QMessageBox::Critical, title, ApplicationErrorText(text).toStdString(),
                         QMessageBox::Ok);
  box.exec();
}
