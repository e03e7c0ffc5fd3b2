// The main window's decisions without a window: what the first show reads,
// what the close writes and when, the handlers' guard, and the texts of the
// application's error box.
#include "shell/MainWindowFlow.h"

#include "FakeSerial.h"
#include "RecordingPresenter.h"
#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "runtime/Exceptions.h"
#include "runtime/ProgramPath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string ReadAll(const fs::path &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

class FakeWindow : public PlacementWindow {
public:
  int WindowState() const override { return State; }
  void SetWindowState(int state) override { State = state; }
  int Left() const override { return X; }
  void SetLeft(int value) override { X = value; }
  int Top() const override { return Y; }
  void SetTop(int value) override { Y = value; }
  int Width() const override { return 367; }
  void SetWidth(int) override {}
  int Height() const override { return 276; }
  void SetHeight(int) override {}
  bool HasResizableBorder() const override { return false; }
  int State = 0, X = 10, Y = 20;
};

class MainWindowFlowTest : public ::testing::Test {
protected:
  void SetUp() override {
    Folder = fs::temp_directory_path() /
             ("korvalen-flow-" + std::to_string(::getpid()) + "-" +
              ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(Folder);
    fs::create_directories(Folder);
    Platform = std::make_shared<FakePlatform>();
    Platform->Lines[2] = std::make_shared<FakeLine>();
    Platform->Lines[5] = std::make_shared<FakeLine>();
    AccessGranted = false;
  }
  void TearDown() override {
    AccessGranted = false;
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(Folder);
  }
  MainWindowSetup Setup() const { return {Folder, Folder / "korvalen.ini", Platform}; }

  fs::path Folder;
  std::shared_ptr<FakePlatform> Platform;
  RecordingPresenter Boxes;
};

TEST_F(MainWindowFlowTest, FirstShowCreatesTheSettingsFileAndOpensTheFirstFreePortAt19200) {
  TMainWindowFlow flow(Setup());
  FakeWindow window;
  flow.Show(window);
  EXPECT_EQ(ReadAll(Folder / "korvalen.ini"), " \r\n");
  ASSERT_NE(flow.Link(), nullptr);
  EXPECT_EQ(flow.Link()->PortNumber, 2);
  EXPECT_TRUE(flow.Link()->IsOpen());
  EXPECT_EQ(flow.Link()->BaudRate, 19200u);
  EXPECT_EQ(flow.Link()->LineMode, 2);
  EXPECT_TRUE(flow.FileName.empty());
  EXPECT_TRUE(AccessGranted);
  EXPECT_EQ(fs::current_path(), Folder);
}

TEST_F(MainWindowFlowTest, ShowReadsPortFileAndStateAndCloseWritesThemBackInOrder) {
  {
    std::ofstream(Folder / "korvalen.ini", std::ios::binary)
        << " \r\n[RS232]\r\nPort=5\r\n[Common]\r\nFN=/образы/прошивка.rom\r\n"
           "[MainWindow]\r\nState=2\r\n";
  }
  TMainWindowFlow flow(Setup());
  FakeWindow window;
  flow.Show(window);
  EXPECT_EQ(flow.Link()->PortNumber, 5);
  EXPECT_EQ(flow.FileName, "/образы/прошивка.rom");
  EXPECT_EQ(window.State, 2);
  window.State = 0;
  flow.FileName = "/другой.rom";
  flow.Close(window, true);
  EXPECT_EQ(ReadAll(Folder / "korvalen.ini"),
            " \r\n[RS232]\r\nPort=5\r\n[Common]\r\nFN=/другой.rom\r\n[MainWindow]\r\nState=0\r\n"
            "Left=10\r\nTop=20\r\nWidth=367\r\nHeight=276\r\n");
}

TEST_F(MainWindowFlowTest, ARefusedCopyAndAWindowNeverShownWriteNothing) {
  const std::string stored = " \r\n[RS232]\r\nPort=5\r\n";
  std::ofstream(Folder / "korvalen.ini", std::ios::binary) << stored;
  FakeWindow window;
  {
    TMainWindowFlow neverShown(Setup());
    neverShown.Close(window, true);
  }
  EXPECT_EQ(ReadAll(Folder / "korvalen.ini"), stored);
  TMainWindowFlow refused(Setup());
  refused.Show(window);
  refused.Close(window, false);
  EXPECT_EQ(ReadAll(Folder / "korvalen.ini"), stored);
}

TEST_F(MainWindowFlowTest, AMissingImageIsReportedAndNothingIsSent) {
  TMainWindowFlow flow(Setup());
  FakeWindow window;
  flow.Show(window);
  flow.FileName = (Folder / "нет.rom").string();
  bool progressMade = false;
  const LoadResult result = flow.Load([&] {
    progressMade = true;
    return std::unique_ptr<ProgressView>();
  });
  EXPECT_EQ(result.Outcome, LoadOutcome::FileNotFound);
  EXPECT_FALSE(progressMade);
  ASSERT_EQ(Boxes.Errors.size(), 1u);
  EXPECT_EQ(Boxes.Errors[0], "Файл не найден");
  EXPECT_TRUE(Platform->Lines[2]->Writes.empty());
}

TEST_F(MainWindowFlowTest, HandlersNeverNestAndACloseAskedMeanwhileComesAfter) {
  TMainWindowFlow flow(Setup());
  std::vector<std::string> failures;
  const auto show = [&](const std::string &text) { failures.push_back(text); };
  int inner = 0;
  bool closeAllowedInside = true;
  const bool closeNow = flow.RunHandler(
      [&] {
        // A second press while the first handler pumps the event loop.
        flow.RunHandler([&] { ++inner; }, show);
        closeAllowedInside = flow.AllowClose();
      },
      show);
  EXPECT_EQ(inner, 0);
  EXPECT_FALSE(closeAllowedInside);
  EXPECT_TRUE(closeNow);
  EXPECT_TRUE(flow.AllowClose());
  EXPECT_FALSE(flow.RunHandler([] { throw Exception("Нет связи"); }, show));
  EXPECT_EQ(failures, std::vector<std::string>{"Нет связи"});
  EXPECT_FALSE(flow.Running());
}

TEST(ApplicationTexts, TitleAndFullStopRule) {
  // The first letter stays as the file name has it.
  EXPECT_EQ(ApplicationTitleFor("korvalen.exe"), "korvalen");
  EXPECT_EQ(ApplicationTitleFor("KORVALEN.EXE"), "Korvalen");
  EXPECT_EQ(ApplicationTitleFor("KorValen"), "Korvalen");
  EXPECT_EQ(ApplicationTitleFor("My.Tool.exe"), "My");
  EXPECT_EQ(ApplicationErrorText("Unable to write to x.ini"), "Unable to write to x.ini.");
  EXPECT_EQ(ApplicationErrorText("Нет связи"), "Нет связи.");
  EXPECT_EQ(ApplicationErrorText("Готово."), "Готово.");
  EXPECT_EQ(ApplicationErrorText("RS232. Ошибка обмена.(4)"), "RS232. Ошибка обмена.(4)");
  EXPECT_EQ(ApplicationErrorText(""), "");
}

TEST(Utf8Paths, CyrillicNamesRoundTrip) {
  const std::string text = "/tmp/Корвален/прошивка.rom";
  EXPECT_EQ(Utf8FromPath(PathFromUtf8(text)), text);
  EXPECT_EQ(Utf8FromPath(PathFromUtf8(text).filename()), "прошивка.rom");
}

} // namespace
