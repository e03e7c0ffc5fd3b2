#include "qt/WindowHints.h"
#include "qt/Progress.h"

#include <QWidget>
#include <gtest/gtest.h>

namespace {

// The values as window managers read them from _MOTIF_WM_HINTS: flags,
// functions, decorations.
TEST(WindowHints, ProgressWindowHasATitleAndNoButtonsAndOnlyMoves) {
  const MotifWmHints hints = ProgressWindowHints();
  EXPECT_EQ(hints.Flags, 0x3u) << "functions and decorations both given";
  EXPECT_EQ(hints.Functions, 0x4u) << "move only";
  EXPECT_EQ(hints.Decorations, 0xAu) << "border and title only";
  EXPECT_EQ(hints.InputMode, 0);
  EXPECT_EQ(hints.Status, 0u);
}

TEST(WindowHints, MainWindowMinimisesAndClosesButNeitherMaximisesNorResizes) {
  const MotifWmHints hints = MainWindowHints();
  EXPECT_EQ(hints.Flags, 0x3u);
  EXPECT_EQ(hints.Functions, 0x2Cu) << "move, minimise, close";
  EXPECT_EQ(hints.Decorations, 0x3Au) << "border, title, menu, minimise";
}

TEST(WindowHints, KeptPerWidget) {
  TProgressForm progress;
  EXPECT_EQ(KeptMotifHints(&progress), ProgressWindowHints());
  QWidget plain;
  EXPECT_EQ(KeptMotifHints(&plain), std::nullopt);
  // Off X nothing is written, and showing the window still works.
  KeepMotifHints(&plain, MainWindowHints());
  plain.show();
  EXPECT_TRUE(plain.isVisible());
  EXPECT_EQ(KeptMotifHints(&plain), MainWindowHints());
}

} // namespace
