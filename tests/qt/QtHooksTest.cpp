#include "ModalDriver.h"

#include "qt/MaskEdit.h"
#include "qt/PassW.h"
#include "qt/Progress.h"
#include "qt/QtHooks.h"
#include "runtime/Hooks.h"

#include <QAbstractButton>
#include <QDialog>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct BoxSeen {
  QString Title, Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  QStringList Buttons;
  bool Centred = false;
};

// Records the next message box, then presses the button with `press` as its
// text (or Escape when empty).
void RecordBox(BoxSeen *seen, const QString &press) {
  WhenModal<QMessageBox>([=](QMessageBox *box) {
    seen->Title = box->windowTitle();
    seen->Text = box->text();
    seen->Icon = box->icon();
    QAbstractButton *target = nullptr;
    for (QAbstractButton *button : box->buttons()) {
      seen->Buttons << button->text();
      if (button->text() == press)
        target = button;
    }
    const QPoint centre = box->screen()->availableGeometry().center();
    seen->Centred = (box->frameGeometry().center() - centre).manhattanLength() <= 2;
    if (target)
      target->click();
    else
      QTest::keyClick(box, Qt::Key_Escape);
  });
}

TEST(QtHooks, MessageBoxesAsTheSystemShowsThem) {
  TQtHooks hooks;
  BoxSeen seen;
  RecordBox(&seen, "OK");
  ShowError("Нет свободного COM-порта!");
  EXPECT_EQ(seen.Title, "Error");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(seen.Text, "Нет свободного COM-порта!");
  EXPECT_EQ(seen.Buttons, QStringList{"OK"});
  EXPECT_TRUE(seen.Centred);

  seen = {};
  RecordBox(&seen, "OK");
  ShowInfo("Загрузка окончена.");
  EXPECT_EQ(seen.Title, "Information");
  EXPECT_EQ(seen.Icon, QMessageBox::Information);
  EXPECT_EQ(seen.Text, "Загрузка окончена.");
  EXPECT_EQ(seen.Buttons, QStringList{"OK"});

  seen = {};
  RecordBox(&seen, "OK");
  ShowError("<b>not markup</b>");
  EXPECT_EQ(seen.Text, "<b>not markup</b>");
}

// Closes the next message box and records who owns it (a window manager
// stacks a box above its owner) and whether it stood centred on the screen.
void RecordOwner(QWidget **owner, bool *centred) {
  *owner = nullptr;
  *centred = false;
  WhenModal<QMessageBox>([=](QMessageBox *box) {
    *owner = box->parentWidget();
    const QPoint centre = box->screen()->availableGeometry().center();
    *centred = (box->frameGeometry().center() - centre).manhattanLength() <= 2;
    box->accept();
  });
}

TEST(QtHooks, BoxesBelongToTheWindowOnTop) {
  TQtHooks hooks;
  QWidget *owner = nullptr;
  bool centred = false;

  RecordOwner(&owner, &centred);
  ShowError("nothing shown yet");
  EXPECT_EQ(owner, nullptr);
  EXPECT_TRUE(centred);

  QWidget main;
  main.setWindowTitle("main");
  main.show();
  main.activateWindow();
  QCoreApplication::processEvents();
  RecordOwner(&owner, &centred);
  ShowInfo("main window alone");
  EXPECT_EQ(owner, &main);
  EXPECT_TRUE(centred) << "centred on the screen, not over its owner";

  // During a load the progress window stays on top; the operator may have
  // clicked the main window meanwhile.
  TProgressForm progress;
  progress.ShowView();
  main.activateWindow();
  QCoreApplication::processEvents();
  RecordOwner(&owner, &centred);
  ShowInfo("Загрузка окончена.");
  EXPECT_EQ(owner, &progress);
  EXPECT_TRUE(centred);
  RecordOwner(&owner, &centred);
  AskYesNo("Продолжить?");
  EXPECT_EQ(owner, &progress);
  RecordOwner(&owner, &centred);
  ShowApplicationError("Korvalen", "Range check error");
  EXPECT_EQ(owner, &progress);
  progress.hide();

  // A box that a modal dialog's work shows belongs to the dialog.
  QDialog dialog(nullptr);
  QWidget *dialogBoxOwner = nullptr;
  WhenModal([](QWidget *w) { return w->windowTitle() == "port"; },
            [&](QWidget *w) {
              RecordOwner(&owner, &centred);
              ShowError("Нет свободного COM-порта!");
              dialogBoxOwner = owner;
              static_cast<QDialog *>(w)->reject();
            });
  dialog.setWindowTitle("port");
  dialog.exec();
  EXPECT_EQ(dialogBoxOwner, &dialog);
}

TEST(QtHooks, BoxOutlivingItsOwnerEndsWithIt) {
  TQtHooks hooks;
  auto *progress = new TProgressForm;
  progress->ShowView();
  WhenModal<QMessageBox>([progress](QMessageBox *) { delete progress; });
  ShowError("the owner goes while the box is open");
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

TEST(QtHooks, YesNoAnswersAsTheToolkitsModalResult) {
  TQtHooks hooks;
  BoxSeen seen;
  RecordBox(&seen, "&Yes");
  EXPECT_EQ(AskYesNo("Продолжить?"), kYes);
  EXPECT_EQ(seen.Title, "Confirm");
  EXPECT_EQ(seen.Icon, QMessageBox::Question);
  EXPECT_TRUE(seen.Buttons.contains("&Yes"));
  EXPECT_TRUE(seen.Buttons.contains("&No"));
  EXPECT_EQ(seen.Buttons.size(), 2);

  RecordBox(&seen, "&No");
  EXPECT_EQ(AskYesNo("Продолжить?"), kNo);
  RecordBox(&seen, QString()); // Escape
  EXPECT_NE(AskYesNo("Продолжить?"), kYes);
}

TEST(QtHooks, InstallsThePumpAndDialogsAndRestoresOnDestruction) {
  bool ran = false;
  {
    TQtHooks hooks;
    QTimer::singleShot(0, [&] { ran = true; });
    ProcessMessages();
    EXPECT_TRUE(ran);

    WhenModal<TPasswDlg>([](TPasswDlg *dialog) {
      QTest::keyClicks(dialog->MaskEdit1, "KWT");
      QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
    });
    ASSERT_TRUE(CurrentDialogHooks().AskPassword);
    EXPECT_EQ(CurrentDialogHooks().AskPassword("?"), std::optional<std::string>("KWT"));
    EXPECT_TRUE(CurrentDialogHooks().ChoosePort);
    EXPECT_TRUE(CurrentDialogHooks().ChooseBaudRate);
  }
  EXPECT_FALSE(CurrentDialogHooks().AskPassword);
  EXPECT_FALSE(CurrentDialogHooks().ChoosePort);
  EXPECT_EQ(AskYesNo("silent"), kNo) << "no box once uninstalled";
  ran = false;
  QTimer::singleShot(0, [&] { ran = true; });
  ProcessMessages();
  EXPECT_FALSE(ran);
  QCoreApplication::processEvents(); // leave no timer behind
}

TEST(QtHooks, ProgramWideInstallIsIdempotent) {
  InstallQtHooks();
  InstallQtHooks();
  EXPECT_TRUE(CurrentDialogHooks().ChoosePort);
  UninstallQtHooks();
  EXPECT_FALSE(CurrentDialogHooks().ChoosePort);
}

TEST(ApplicationError, BoxCarriesTheApplicationTitle) {
  BoxSeen seen;
  RecordBox(&seen, "OK");
  ShowApplicationError("Korvalen", "Файл не найден");
  EXPECT_EQ(seen.Title, "Korvalen");
  EXPECT_EQ(seen.Icon, QMessageBox::Critical);
  EXPECT_EQ(seen.Text, "Файл не найден.");
  EXPECT_EQ(seen.Buttons, QStringList{"OK"});
}

} // namespace
