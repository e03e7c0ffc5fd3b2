#include "qt/QtHooks.h"

#include "qt/FormStyle.h"
#include "qt/PassW.h"
#include "qt/SpinEdit.h"
#include "qt/Zor_RS232_SetBR.h"
#include "qt/Zor_RS232_SetNum.h"
#include "shell/MainWindowFlow.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <algorithm>

namespace {
// Centred on the screen, not over its owner: its size is settled only in
// QMessageBox's own show handling, hence after it.
class TCentredMessageBox : public QMessageBox {
public:
  TCentredMessageBox(Icon icon, const QString &title, const QString &text, StandardButtons buttons,
                     QWidget *owner)
      : QMessageBox(icon, title, text, buttons, owner) {
    setTextFormat(Qt::PlainText);
  }

protected:
  void showEvent(QShowEvent *event) override {
    QMessageBox::showEvent(event);
    CentreOnScreen(this);
  }
};

bool CanOwnBoxes(const QWidget *window) {
  if (!window || !window->isVisible() || !window->isWindow())
    return false;
  const Qt::WindowType type = window->windowType();
  return type != Qt::Popup && type != Qt::ToolTip && type != Qt::SplashScreen &&
         type != Qt::Desktop;
}

// Shows a modal box owned by the program's window on top and answers the
// standard button that closed it (NoButton when none did). The box lives on
// the heap: its owner may go while it is open, and takes the box with it.
QMessageBox::StandardButton RunMessageBox(QMessageBox::Icon icon, const QString &title,
                                          const QString &text,
                                          QMessageBox::StandardButtons buttons) {
  QPointer<QMessageBox> box = new TCentredMessageBox(icon, title, text, buttons, MessageBoxOwner());
  if (QAbstractButton *yes = box->button(QMessageBox::Yes))
    yes->setText(QStringLiteral("&Yes"));
  if (QAbstractButton *no = box->button(QMessageBox::No))
    no->setText(QStringLiteral("&No"));
  box->exec();
  if (!box)
    return QMessageBox::NoButton;
  QAbstractButton *clicked = box->clickedButton();
  const QMessageBox::StandardButton result =
      clicked ? box->standardButton(clicked) : QMessageBox::NoButton;
  delete box.data();
  return result;
}

std::unique_ptr<TQtHooks> gInstalled;
} // namespace

QWidget *MessageBoxOwner() {
  if (QWidget *modal = QApplication::activeModalWidget(); CanOwnBoxes(modal))
    return modal;
  QWidget *anyVisible = nullptr;
  for (QWidget *window : QApplication::topLevelWidgets()) {
    if (!CanOwnBoxes(window))
      continue;
    // The progress window stays on top of the others: a box under it would
    // be hidden, whichever window the operator last clicked.
    if (window->windowFlags() & Qt::WindowStaysOnTopHint)
      return window;
    if (!anyVisible)
      anyVisible = window;
  }
  if (QWidget *active = QApplication::activeWindow(); CanOwnBoxes(active))
    return active;
  return anyVisible;
}

void TQtMessagePresenter::Error(const std::string &text) {
  RunMessageBox(QMessageBox::Critical, QStringLiteral("Error"), QString::fromStdString(text),
                QMessageBox::Ok);
}

void TQtMessagePresenter::Info(const std::string &text) {
  RunMessageBox(QMessageBox::Information, QStringLiteral("Information"),
                QString::fromStdString(text), QMessageBox::Ok);
}

uint16_t TQtMessagePresenter::YesNo(const std::string &text) {
  switch (RunMessageBox(QMessageBox::Question, QStringLiteral("Confirm"),
                        QString::fromStdString(text), QMessageBox::Yes | QMessageBox::No)) {
  case QMessageBox::Yes:
    return kYes;
  case QMessageBox::No:
    return kNo;
  default:
    return kCancelResult;
  }
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

void ShowApplicationError(const QString &title, const std::string &text) {
  RunMessageBox(QMessageBox::Critical, title, QString::fromStdString(ApplicationErrorText(text)),
                QMessageBox::Ok);
}
