#include "ModalDriver.h"
#include "link/FakeSerial.h"

#include "link/Zor_RS232.h"
#include "qt/DialogFrame.h"
#include "qt/MaskEdit.h"
#include "qt/PassW.h"
#include "qt/QtHooks.h"
#include "qt/SpinEdit.h"
#include "qt/Zor_RS232_SetBR.h"
#include "qt/Zor_RS232_SetNum.h"

#include <QComboBox>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <gtest/gtest.h>

namespace {

// The next widget that Tab moves the focus to.
QWidget *NextTabStop(QWidget *widget) {
  QWidget *next = widget->nextInFocusChain();
  while (next != widget && !((next->focusPolicy() & Qt::TabFocus) && next->isEnabled() &&
                             next->isVisibleTo(next->window())))
    next = next->nextInFocusChain();
  return next;
}

const std::string kAskText = "Данная команда будет выполняться только после ввода пароля!";

TEST(PasswDlg, FormAsDesigned) {
  TPasswDlg dialog;
  EXPECT_EQ(dialog.objectName(), "PasswDlg");
  EXPECT_EQ(dialog.windowTitle(), "Контроль доступа");
  EXPECT_EQ(dialog.size(), QSize(233, 139));
  EXPECT_EQ(dialog.Label1->text(), "Указанные изменения могут быть произведены только после "
                                   "верного ввода пароля:");
  EXPECT_EQ(dialog.Label1->geometry(), QRect(8, 9, 217, 39));
  EXPECT_EQ(dialog.MaskEdit1->geometry(), QRect(53, 64, 128, 21));
  EXPECT_EQ(dialog.OKBtn->geometry(), QRect(18, 99, 77, 27));
  EXPECT_EQ(dialog.CancelBtn->geometry(), QRect(130, 99, 77, 27));
  EXPECT_EQ(dialog.OKBtn->text(), "OK");
  EXPECT_EQ(dialog.CancelBtn->text(), "Cancel");
  EXPECT_TRUE(dialog.OKBtn->isDefault());
  EXPECT_TRUE(dialog.font().bold());
  EXPECT_FALSE(dialog.MaskEdit1->font().bold());
  EXPECT_EQ(NextTabStop(dialog.MaskEdit1), dialog.OKBtn);
  EXPECT_EQ(NextTabStop(dialog.OKBtn), dialog.CancelBtn);
  EXPECT_EQ(NextTabStop(dialog.CancelBtn), dialog.MaskEdit1);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
}

TEST(PasswDlg, OkAnswersTheTypedText) {
  TPasswDlg *seen = nullptr;
  WhenModal<TPasswDlg>([&](TPasswDlg *dialog) {
    seen = PasswDlg;
    EXPECT_EQ(dialog->Label1->text().toStdString(), kAskText);
    EXPECT_EQ(dialog->focusWidget(), dialog->MaskEdit1);
    QTest::keyClicks(dialog->MaskEdit1, "KWT");
    EXPECT_EQ(dialog->MaskEdit1->displayText(), "$$$");
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(ExecPasswDlg(kAskText), std::optional<std::string>("KWT"));
  EXPECT_NE(seen, nullptr);
  EXPECT_EQ(PasswDlg, nullptr);
}

TEST(PasswDlg, EnterPressesOk) {
  WhenModal<TPasswDlg>([](TPasswDlg *dialog) {
    QTest::keyClicks(dialog->MaskEdit1, "kwt1");
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Return);
  });
  EXPECT_EQ(ExecPasswDlg(kAskText), std::optional<std::string>("kwt1"));
}

TEST(PasswDlg, CancelEscapeAndCloseAnswerNothing) {
  WhenModal<TPasswDlg>([](TPasswDlg *dialog) {
    QTest::keyClicks(dialog->MaskEdit1, "KWT");
    QTest::mouseClick(dialog->CancelBtn, Qt::LeftButton);
  });
  EXPECT_EQ(ExecPasswDlg(kAskText), std::nullopt);

  WhenModal<TPasswDlg>([](TPasswDlg *dialog) {
    QTest::keyClicks(dialog->MaskEdit1, "KWT");
    QTest::keyClick(dialog->MaskEdit1, Qt::Key_Escape);
  });
  EXPECT_EQ(ExecPasswDlg(kAskText), std::nullopt);

  WhenModal<TPasswDlg>([](TPasswDlg *dialog) { dialog->close(); });
  EXPECT_EQ(ExecPasswDlg(kAskText), std::nullopt);
}

TEST(PortNumberDialog, FormAsDesigned) {
  TZor_RS232_SetNumDlg dialog;
  EXPECT_EQ(dialog.objectName(), "Zor_RS232_SetNumDlg");
  EXPECT_EQ(dialog.windowTitle(), "Выбор номера порта");
  EXPECT_EQ(dialog.size(), QSize(337, 85));
  EXPECT_EQ(dialog.Label1->text(), "Выберите последовательный порт");
  const QRect label = dialog.Label1->geometry();
  EXPECT_EQ(label.topLeft(), QPoint(8, 8));
  EXPECT_EQ(label.height(), 13);
  EXPECT_GE(label.width(), 201);
  EXPECT_LT(label.right(), dialog.PCB->x()) << "left of the list";
  EXPECT_LE(dialog.Label1->fontMetrics().horizontalAdvance(dialog.Label1->text()), label.width())
      << "the caption shows whole on one line";
  EXPECT_EQ(dialog.PCB->geometry(), QRect(224, 8, 105, 21));
  EXPECT_FALSE(dialog.PCB->isEditable());
  EXPECT_EQ(dialog.OKBtn->geometry(), QRect(64, 48, 80, 27));
  EXPECT_EQ(dialog.CancelBtn->geometry(), QRect(156, 48, 80, 27));
  EXPECT_EQ(dialog.HelpBtn->geometry(), QRect(248, 48, 80, 27));
  EXPECT_EQ(dialog.HelpBtn->text(), "&Help");
  EXPECT_EQ(dialog.focusWidget(), dialog.PCB);
  EXPECT_EQ(NextTabStop(dialog.PCB), dialog.OKBtn);
  EXPECT_EQ(NextTabStop(dialog.OKBtn), dialog.CancelBtn);
  EXPECT_EQ(NextTabStop(dialog.CancelBtn), dialog.HelpBtn);
  EXPECT_EQ(NextTabStop(dialog.HelpBtn), dialog.PCB);
  EXPECT_TRUE(dialog.windowFlags() & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(dialog.windowFlags() & Qt::WindowMinMaxButtonsHint);
}

PortChoice Com1AndCom3(int selected) {
  return PortChoice{{"COM1", "COM3"}, {"/dev/ttyS0", "/work/ports/COM3"}, selected};
}

TEST(PortNumberDialog, ListsEntriesInOrderWithSelectionAndPath) {
  WhenModal<TZor_RS232_SetNumDlg>([](TZor_RS232_SetNumDlg *dialog) {
    EXPECT_EQ(dialog->PCB->count(), 2);
    EXPECT_EQ(dialog->PCB->itemText(0), "COM1");
    EXPECT_EQ(dialog->PCB->itemText(1), "COM3");
    EXPECT_EQ(dialog->PCB->currentIndex(), 1);
    EXPECT_EQ(dialog->PathLabel->text(), "/work/ports/COM3");
    EXPECT_EQ(dialog->PCB->itemData(0, Qt::ToolTipRole).toString(), "/dev/ttyS0");
    dialog->PCB->setCurrentIndex(0);
    EXPECT_EQ(dialog->PathLabel->text(), "/dev/ttyS0");
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(RunPortNumberDialog(Com1AndCom3(1)), std::optional<int>(0));
}

TEST(PortNumberDialog, OkWithoutSelectionAnswersMinusOne) {
  WhenModal<TZor_RS232_SetNumDlg>([](TZor_RS232_SetNumDlg *dialog) {
    EXPECT_EQ(dialog->PCB->currentIndex(), -1);
    EXPECT_EQ(dialog->PathLabel->text(), "");
    QTest::keyClick(dialog->PCB, Qt::Key_Return);
  });
  EXPECT_EQ(RunPortNumberDialog(Com1AndCom3(-1)), std::optional<int>(-1));
}

TEST(PortNumberDialog, CancelAndCloseBoxAnswerNothing) {
  WhenModal<TZor_RS232_SetNumDlg>([](TZor_RS232_SetNumDlg *dialog) {
    dialog->PCB->setCurrentIndex(0);
    QTest::mouseClick(dialog->CancelBtn, Qt::LeftButton);
  });
  EXPECT_EQ(RunPortNumberDialog(Com1AndCom3(1)), std::nullopt);

  WhenModal<TZor_RS232_SetNumDlg>([](TZor_RS232_SetNumDlg *dialog) { dialog->close(); });
  EXPECT_EQ(RunPortNumberDialog(Com1AndCom3(1)), std::nullopt);
}

TEST(PortNumberDialog, HelpShowsItsTopicAndKeepsTheDialogOpen) {
  QString helpTitle, helpText;
  bool stillOpen = false;
  WhenModal<TZor_RS232_SetNumDlg>([&](TZor_RS232_SetNumDlg *dialog) {
    WhenModal<QMessageBox>([&](QMessageBox *box) {
      helpTitle = box->windowTitle();
      helpText = box->text();
      box->accept();
    });
    dialog->HelpBtn->click(); // returns once the help box is closed
    stillOpen = dialog->isVisible();
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(RunPortNumberDialog(Com1AndCom3(1)), std::optional<int>(1));
  EXPECT_TRUE(stillOpen);
  EXPECT_EQ(helpTitle, "Выбор номера порта");
  EXPECT_EQ(helpText, HelpText(kPortNumberDialogHelpContext));
  EXPECT_TRUE(helpText.contains("ports"));
  EXPECT_NE(HelpText(kBaudRateHelpContext), helpText);
  EXPECT_TRUE(HelpText(12345).isEmpty());
}

TEST(PortNumberDialog, TheMenuCommandAndTheDialogHaveTheirOwnHelpContexts) {
  // One program holds both: the link's menu command and the dialog it opens.
  auto platform = std::make_shared<FakePlatform>();
  platform->Lines[1] = std::make_shared<FakeLine>();
  TMenuItem menu;
  TZor_RS link(&menu, nullptr, platform);
  ASSERT_EQ(menu.Items().size(), 1u);
  ASSERT_EQ(menu.Items()[0]->Items().size(), 1u);
  EXPECT_EQ(menu.Items()[0]->Items()[0]->HelpContext, 10000);
  EXPECT_EQ(kPortNumberMenuHelpContext, 10000);

  TZor_RS232_SetNumDlg dialog;
  EXPECT_EQ(dialog.HelpBtn->property("helpContext").toInt(), 10001);
  EXPECT_EQ(kPortNumberDialogHelpContext, 10001);
}

TEST(BaudRateDialog, FormAsDesigned) {
  TZor_RS232_SetBRDlg dialog;
  EXPECT_EQ(dialog.objectName(), "Zor_RS232_SetBRDlg");
  // С, О and М are Cyrillic.
  EXPECT_EQ(dialog.windowTitle(),
            QString::fromUtf8("Выбор скорости обмена \u0421\u041E\u041C-порта"));
  EXPECT_EQ(dialog.size(), QSize(301, 89));
  EXPECT_EQ(dialog.Label2->text(), "Скорость обмена, бод");
  EXPECT_EQ(dialog.Label2->geometry(), QRect(8, 16, 153, 13));
  EXPECT_EQ(dialog.BSE->geometry(), QRect(192, 12, 97, 21));
  EXPECT_EQ(dialog.OKBtn->geometry(), QRect(8, 48, 80, 27));
  EXPECT_EQ(dialog.CancelBtn->geometry(), QRect(108, 48, 80, 27));
  EXPECT_EQ(dialog.HelpBtn->geometry(), QRect(208, 48, 80, 27));
  EXPECT_EQ(dialog.BSE->text(), "110");
  EXPECT_EQ(dialog.BSE->MinValue(), 110);
  EXPECT_EQ(dialog.BSE->MaxValue(), 921600);
  EXPECT_EQ(dialog.BSE->Increment(), 10);
  EXPECT_EQ(NextTabStop(dialog.OKBtn), dialog.CancelBtn);
  EXPECT_EQ(NextTabStop(dialog.CancelBtn), dialog.HelpBtn);
  EXPECT_EQ(NextTabStop(dialog.HelpBtn), dialog.BSE);
  EXPECT_EQ(NextTabStop(dialog.BSE), dialog.OKBtn);
  EXPECT_EQ(dialog.focusWidget(), dialog.OKBtn);
}

TEST(BaudRateDialog, OpensAtTheCurrentRateAndSteps) {
  WhenModal<TZor_RS232_SetBRDlg>([](TZor_RS232_SetBRDlg *dialog) {
    EXPECT_EQ(dialog->BSE->text(), "19200");
    QTest::mouseClick(dialog->BSE->UpButton(), Qt::LeftButton);
    EXPECT_EQ(dialog->BSE->text(), "19210");
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
  });
  EXPECT_EQ(RunBaudRateDialog(19200), std::optional<int64_t>(19210));

  WhenModal<TZor_RS232_SetBRDlg>([](TZor_RS232_SetBRDlg *dialog) {
    EXPECT_EQ(dialog->BSE->text(), "921600");
    dialog->reject();
  });
  EXPECT_EQ(RunBaudRateDialog(4'000'000), std::nullopt);
}

// Types into the field, then clicks OK, which takes the focus from it.
std::optional<int64_t> TypeAndClickOk(const QString &typed, QString *shownAtClose) {
  WhenModal<TZor_RS232_SetBRDlg>([=](TZor_RS232_SetBRDlg *dialog) {
    dialog->BSE->setFocus();
    dialog->BSE->clear();
    QTest::keyClicks(dialog->BSE, typed);
    QTest::mouseClick(dialog->OKBtn, Qt::LeftButton);
    *shownAtClose = dialog->BSE->text();
  });
  return RunBaudRateDialog(19200);
}

TEST(BaudRateDialog, TypedRateIsBroughtIntoRangeWhenOkTakesTheFocus) {
  QString shown;
  EXPECT_EQ(TypeAndClickOk("1000000", &shown), std::optional<int64_t>(921600));
  EXPECT_EQ(shown, "921600");
  EXPECT_EQ(TypeAndClickOk("50", &shown), std::optional<int64_t>(110));
  EXPECT_EQ(shown, "110");
  EXPECT_EQ(TypeAndClickOk("", &shown), std::optional<int64_t>(110));
  EXPECT_EQ(TypeAndClickOk("57600", &shown), std::optional<int64_t>(57600));
}

TEST(BaudRateDialog, EnterInTheFieldStillAnswersARateInRange) {
  QString shown;
  WhenModal<TZor_RS232_SetBRDlg>([&](TZor_RS232_SetBRDlg *dialog) {
    dialog->BSE->setFocus();
    dialog->BSE->clear();
    QTest::keyClicks(dialog->BSE, "1000000");
    QTest::keyClick(dialog->BSE, Qt::Key_Return);
  });
  EXPECT_EQ(RunBaudRateDialog(19200), std::optional<int64_t>(921600));

  WhenModal<TZor_RS232_SetBRDlg>([&](TZor_RS232_SetBRDlg *dialog) {
    dialog->BSE->setFocus();
    QTest::keyClick(dialog->BSE, Qt::Key_Escape);
  });
  EXPECT_EQ(RunBaudRateDialog(19200), std::nullopt);
}

} // namespace
