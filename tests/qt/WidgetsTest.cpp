#include "qt/Gauge.h"
#include "qt/MaskEdit.h"
#include "qt/SpinEdit.h"

#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QVBoxLayout>
#include <gtest/gtest.h>
#include <limits>

namespace {

bool IsDark(QRgb c) {
  return qGray(c) < 64;
}
bool IsLight(QRgb c) {
  return qGray(c) > 192;
}

// Counts light and dark pixels of `image` inside `area`.
std::pair<int, int> LightAndDark(const QImage &image, const QRect &area) {
  int light = 0, dark = 0;
  for (int y = area.top(); y <= area.bottom(); ++y)
    for (int x = area.left(); x <= area.right(); ++x) {
      const QRgb c = image.pixel(x, y);
      light += IsLight(c);
      dark += IsDark(c);
    }
  return {light, dark};
}

TEST(Gauge, ClampsToPercentRange) {
  TGauge gauge;
  EXPECT_EQ(gauge.Progress(), 0);
  gauge.SetProgress(-5);
  EXPECT_EQ(gauge.Progress(), 0);
  EXPECT_EQ(gauge.Text(), "0%");
  gauge.SetProgress(150);
  EXPECT_EQ(gauge.Progress(), 100);
  EXPECT_EQ(gauge.Text(), "100%");
  gauge.SetProgress(42);
  EXPECT_EQ(gauge.Text(), "42%");
}

TEST(Gauge, TwelvePercentFillsTwelveHundredths) {
  TGauge gauge;
  gauge.resize(220, 25);
  gauge.SetProgress(12);
  const QRect inner = gauge.InnerRect();
  ASSERT_EQ(inner, QRect(1, 1, 218, 23));
  EXPECT_EQ(gauge.FilledWidth(), 218 * 12 / 100);
  EXPECT_EQ(gauge.Text(), "12%");

  const QImage image = gauge.grab().toImage();
  const int filled = gauge.FilledWidth();
  EXPECT_TRUE(IsDark(image.pixel(0, 0))) << "frame";
  EXPECT_TRUE(IsDark(image.pixel(219, 24))) << "frame";
  // Rows 2 and 3 lie above the 13-pixel text.
  EXPECT_TRUE(IsDark(image.pixel(inner.left() + 2, inner.top() + 2)));
  EXPECT_TRUE(IsDark(image.pixel(inner.left() + filled - 1, inner.top() + 2)));
  EXPECT_TRUE(IsLight(image.pixel(inner.left() + filled, inner.top() + 2)));
  EXPECT_TRUE(IsLight(image.pixel(inner.right() - 2, inner.center().y())));
}

TEST(Gauge, TextReadsOnFilledAndEmptyBar) {
  TGauge gauge;
  gauge.resize(220, 25);
  const QRect textArea(80, 4, 60, 17); // around the centred text

  gauge.SetProgress(100);
  auto [lightOnFull, darkOnFull] = LightAndDark(gauge.grab().toImage(), textArea);
  EXPECT_GT(lightOnFull, 10) << "light text on the filled bar";

  gauge.SetProgress(0);
  auto [lightOnEmpty, darkOnEmpty] = LightAndDark(gauge.grab().toImage(), textArea);
  EXPECT_GT(darkOnEmpty, 10) << "dark text on the empty bar";
}

class SpinEditTest : public ::testing::Test {
protected:
  void SetUp() override {
    auto *layout = new QVBoxLayout(&FWindow);
    FEdit = new TRxSpinEdit(&FWindow);
    FOther = new QPushButton("other", &FWindow);
    layout->addWidget(FEdit);
    layout->addWidget(FOther);
    FEdit->SetMinValue(110);
    FEdit->SetMaxValue(921600);
    FEdit->SetIncrement(10);
    FEdit->SetValue(110);
    FWindow.show();
    FWindow.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&FWindow));
  }
  void TypeThenLeave(const QString &typed) {
    FEdit->setFocus();
    FEdit->clear();
    QTest::keyClicks(FEdit, typed);
    FOther->setFocus();
  }
  QWidget FWindow;
  TRxSpinEdit *FEdit = nullptr;
  QPushButton *FOther = nullptr;
};

TEST_F(SpinEditTest, ValueSetFromOutsideIsClamped) {
  EXPECT_EQ(FEdit->text(), "110");
  FEdit->SetValue(5);
  EXPECT_EQ(FEdit->text(), "110");
  FEdit->SetValue(2'000'000);
  EXPECT_EQ(FEdit->text(), "921600");
  FEdit->SetValue(19200);
  EXPECT_EQ(FEdit->Value(), 19200);
  EXPECT_TRUE(FEdit->alignment() & Qt::AlignRight);
}

TEST_F(SpinEditTest, OutOfRangeTextStaysUntilFocusLeaves) {
  FEdit->setFocus();
  FEdit->clear();
  QTest::keyClicks(FEdit, "1000000");
  EXPECT_EQ(FEdit->text(), "1000000");
  EXPECT_EQ(FEdit->Value(), 1000000);
  FOther->setFocus();
  EXPECT_EQ(FEdit->text(), "921600");

  TypeThenLeave("50");
  EXPECT_EQ(FEdit->text(), "110");
  TypeThenLeave("19200");
  EXPECT_EQ(FEdit->text(), "19200");
}

TEST_F(SpinEditTest, UnreadableTextCountsAsMinimum) {
  FEdit->setText("");
  EXPECT_EQ(FEdit->Value(), 110);
  FEdit->setText("-");
  EXPECT_EQ(FEdit->Value(), 110);
  FEdit->setText("12-3");
  EXPECT_EQ(FEdit->Value(), 110);
  FEdit->setText("+500");
  EXPECT_EQ(FEdit->Value(), 500);
  FEdit->setText("-20");
  EXPECT_EQ(FEdit->Value(), -20);
  // Too long for any integer type: out of range, not garbage.
  FEdit->setText("99999999999999999999999");
  EXPECT_EQ(FEdit->Value(), std::numeric_limits<int64_t>::max());
  FEdit->CheckValue();
  EXPECT_EQ(FEdit->text(), "921600");
  TypeThenLeave("");
  EXPECT_EQ(FEdit->text(), "110");
}

TEST_F(SpinEditTest, OnlyDigitsAndSignsCanBeTyped) {
  FEdit->setFocus();
  FEdit->clear();
  QTest::keyClicks(FEdit, "1a9.2 0x0");
  EXPECT_EQ(FEdit->text(), "19200");
  QTest::keyClick(FEdit, Qt::Key_Backspace);
  EXPECT_EQ(FEdit->text(), "1920");
  FEdit->clear();
  FEdit->insert("12ab");
  EXPECT_EQ(FEdit->text(), "") << "pasted letters refused";
}

TEST_F(SpinEditTest, ButtonsAndArrowKeysStepByIncrement) {
  FEdit->SetValue(19200);
  FEdit->UpButton()->click();
  EXPECT_EQ(FEdit->text(), "19210");
  FEdit->DownButton()->click();
  FEdit->DownButton()->click();
  EXPECT_EQ(FEdit->text(), "19190");
  FEdit->setFocus();
  QTest::keyClick(FEdit, Qt::Key_Up);
  EXPECT_EQ(FEdit->text(), "19200");
  QTest::keyClick(FEdit, Qt::Key_Down);
  EXPECT_EQ(FEdit->text(), "19190");

  FEdit->SetValue(921595);
  FEdit->UpButton()->click();
  EXPECT_EQ(FEdit->text(), "921600");
  FEdit->UpButton()->click();
  EXPECT_EQ(FEdit->text(), "921600");
  FEdit->SetValue(115);
  FEdit->DownButton()->click();
  EXPECT_EQ(FEdit->text(), "110");
  // A step from an out-of-range text starts at the nearer bound.
  FEdit->setText("5000000");
  FEdit->DownButton()->click();
  EXPECT_EQ(FEdit->text(), "921590");
}

TEST(MaskEdit, TakesLettersAndDigitsOnly) {
  TMaskEdit edit;
  QTest::keyClicks(&edit, "-!");
  EXPECT_EQ(edit.text(), "");
  QTest::keyClicks(&edit, "K-W!T 7");
  EXPECT_EQ(edit.Text(), "KWT7");
  edit.insert("a.b");
  EXPECT_EQ(edit.Text(), "KWT7") << "pasted punctuation refused";
}

TEST(MaskEdit, HoldsTenPositionsShownAsDollars) {
  TMaskEdit edit;
  QTest::keyClicks(&edit, "abcdefghijKL");
  EXPECT_EQ(edit.Text(), "abcdefghij");
  EXPECT_EQ(edit.displayText(), QString(10, QLatin1Char('$')));
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QTest::keyClicks(&edit, "Z");
  EXPECT_EQ(edit.Text(), "abcdefghiZ");
  EXPECT_EQ(edit.displayText(), QString(10, QLatin1Char('$')));
}

} // namespace
