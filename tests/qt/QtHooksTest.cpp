#include "ModalDriver.h"

#include "runtime/Hooks.h"
#include "qt/QtHooks.h"
#include "qt/PassW.h"
#include "qt/MaskEdit.h"

#include <QAbstractButton>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

struct BoxSeen {
  QString title, text;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QStringList buttons;
  bool centred = false;
};

// Records the next message box, then presses the button with `press` as its
// text (or Escape when empty).
void RecordBox(BoxSeen *seen, const QString &press) {
  WhenModal<QMessageBox>([=](QMessageBox *box) {
    seen->title = box->windowTitle();
    seen->text = box->text();
    seen->icon = box->icon();
    QAbstractButton *target = nullptr;
    for (QAbstractButton *button : box->buttons()) {
      seen->buttons << button->text();
      if (button->text() == press)
        target = button;
    }
    const QPoint centre = box->screen()->availableGeometry().center();
    seen->centred = (box->frameGeometry().center() - centre).manhattanLength() <= 2;
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
  EXPECT_EQ(seen.title, "Error");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.text, "Нет свободного COM-порта!");
  EXPECT_EQ(seen.buttons, QStringList{"OK"});
  EXPECT_TRUE(seen.centred);

  seen = {};
  RecordBox(&seen, "OK");
  ShowInfo("Загрузка окончена.");
  EXPECT_EQ(seen.title, "Information");
  EXPECT_EQ(seen.icon, QMessageBox::Information);
  EXPECT_EQ(seen.text, "Загрузка окончена.");
  EXPECT_EQ(seen.buttons, QStringList{"OK"});

  seen = {};
  RecordBox(&seen, "OK");
  ShowError("<b>not markup</b>");
  EXPECT_EQ(seen.text, "<b>not markup</b>");
}

TEST(QtHooks, YesNoAnswersAsTheToolkitsModalResult) {
  TQtHooks hooks;
  BoxSeen seen;
  RecordBox(&seen, "&Yes");
  EXPECT_EQ(AskYesNo("Продолжить?"), kYes);
  EXPECT_EQ(seen.title, "Confirm");
  EXPECT_EQ(seen.icon, QMessageBox::Question);
  EXPECT_TRUE(seen.buttons.contains("&Yes"));
  EXPECT_TRUE(seen.buttons.contains("&No"));
  EXPECT_EQ(seen.buttons.size(), 2);

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

TEST(ApplicationError, FullStopAfterLettersOnly) {
  EXPECT_EQ(ApplicationErrorText("Range check error"), "Range check error.");
  EXPECT_EQ(ApplicationErrorText("Порт закрыт"), "Порт закрыт.");
  EXPECT_EQ(ApplicationErrorText("Сделано."), "Сделано.");
  EXPECT_EQ(ApplicationErrorText("Неверный пароль!"), "Неверный пароль!");
  EXPECT_EQ(ApplicationErrorText("(0x1F)"), "(0x1F)");
  EXPECT_EQ(ApplicationErrorText("code 7"), "code 7.");
  EXPECT_EQ(ApplicationErrorText(""), "");
}

TEST(ApplicationError, BoxCarriesTheApplicationTitle) {
  BoxSeen seen;
  RecordBox(&seen, "OK");
  ShowApplicationError("Korvalen", "Файл не найден");
  EXPECT_EQ(seen.title, "Korvalen");
  EXPECT_EQ(seen.icon, QMessageBox::Critical);
  EXPECT_EQ(seen.text, "Файл не найден.");
  EXPECT_EQ(seen.buttons, QStringList{"OK"});
}

} // namespace
