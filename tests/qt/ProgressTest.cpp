#include "qt/Progress.h"
#include "qt/Gauge.h"

#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QTest>
#include <gtest/gtest.h>
#include <memory>

namespace {

TEST(ProgressForm, FreshWindowIsHiddenAtZero) {
  TProgressForm form;
  EXPECT_FALSE(form.isVisible());
  EXPECT_FALSE(form.Cancelled);
  EXPECT_FALSE(form.IsCancelled());
  EXPECT_EQ(form.ProgressLabel->text(), "Прогресс");
  EXPECT_EQ(form.ProgressGauge->Progress(), 0);
  EXPECT_EQ(form.objectName(), "ProgressForm");
  EXPECT_EQ(form.windowTitle(), "Progress...");
  EXPECT_EQ(form.BitBtn1->text(), "Cancel");
}

TEST(ProgressForm, LayoutAndFrame) {
  TProgressForm form;
  EXPECT_EQ(form.size(), QSize(261, 113));
  EXPECT_EQ(form.minimumSize(), form.maximumSize()) << "not resizable";
  EXPECT_EQ(form.ProgressLabel->geometry(), QRect(0, 0, 261, 41));
  EXPECT_TRUE(form.ProgressLabel->wordWrap());
  EXPECT_TRUE(form.ProgressLabel->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(form.ProgressGauge->geometry(), QRect(21, 48, 220, 25));
  EXPECT_EQ(form.BitBtn1->geometry(), QRect(75, 80, 111, 25));
  // The button face, as the main window's.
  EXPECT_EQ(form.backgroundRole(), QPalette::Button);
  EXPECT_TRUE(form.autoFillBackground());

  const Qt::WindowFlags flags = form.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
  EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
  EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(flags & Qt::WindowMinMaxButtonsHint);
}

TEST(ProgressForm, DrivenThroughTheViewInterface) {
  auto form = std::make_unique<TProgressForm>();
  TProgressForm *raw = form.get();
  std::unique_ptr<ProgressView> view = std::move(form);
  view->ShowView();
  EXPECT_TRUE(raw->isVisible());
  EXPECT_FALSE(raw->isModal());
  const QPoint screenCentre = raw->screen()->availableGeometry().center();
  EXPECT_LE((raw->frameGeometry().center() - screenCentre).manhattanLength(), 2);

  view->SetLabel("Включите МК...");
  EXPECT_EQ(raw->ProgressLabel->text(), "Включите МК...");
  view->SetGaugeValue(12);
  EXPECT_EQ(raw->ProgressGauge->Text(), "12%");
  view->SetGaugeValue(250);
  EXPECT_EQ(raw->ProgressGauge->Progress(), 100);
  view->SetGaugeVisible(false);
  EXPECT_FALSE(raw->ProgressGauge->isVisible());
  view->SetGaugeVisible(true);
  EXPECT_TRUE(raw->ProgressGauge->isVisible());
  view->SetCancelVisible(false);
  EXPECT_FALSE(raw->BitBtn1->isVisible());
  view->SetCancelVisible(true);
  EXPECT_TRUE(raw->BitBtn1->isVisible());
  view.reset(); // destroying the view closes the window
}

TEST(ProgressForm, CancelSetsTheFlagAndLeavesTheWindowOpen) {
  TProgressForm form;
  form.ShowView();
  QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
  EXPECT_TRUE(form.Cancelled);
  EXPECT_TRUE(form.IsCancelled());
  EXPECT_TRUE(form.isVisible());
  EXPECT_TRUE(form.BitBtn1->isEnabled());
  QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
  EXPECT_TRUE(form.Cancelled) << "a second press changes nothing";
}

TEST(ProgressForm, EscapePressesCancel) {
  TProgressForm form;
  form.ShowView();
  QTest::keyClick(form.BitBtn1, Qt::Key_Escape);
  EXPECT_TRUE(form.Cancelled);
  EXPECT_TRUE(form.isVisible());
}

TEST(ProgressForm, EscapeDoesNothingWhileCancelIsHidden) {
  TProgressForm form;
  form.ShowView();
  form.SetCancelVisible(false);
  QTest::keyClick(&form, Qt::Key_Escape);
  EXPECT_FALSE(form.Cancelled);
}

TEST(ProgressForm, CloseRequestDoesNotEndTheRun) {
  TProgressForm form;
  form.ShowView();
  EXPECT_FALSE(form.close());
  EXPECT_TRUE(form.isVisible());
}

} // namespace
