// The main window's decisions without a window: the order of the first show
// and what it reads, what the close writes and when, the buttons, the
// handlers' guard, and the texts of the application's error box.
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

// A main window that records what it is asked to draw, in order.
class FakeWindow : public TMainWindowFlow {
public:
  using TMainWindowFlow::TMainWindowFlow;

  int WindowState() const override { return State; }
  void SetWindowState(int state) override {
    State = state;
    Steps.push_back("state " + std::to_string(state));
  }
  int Left() const override { return X; }
  void SetLeft(int value) override { X = value; }
  int Top() const override { return Y; }
  void SetTop(int value) override { Y = value; }
  int Width() const override { return 367; }
  void SetWidth(int) override {}
  int Height() const override { return 276; }
  void SetHeight(int) override {}
  bool HasResizableBorder() const override { return false; }

  void SetCaption(const std::string &text) override { Steps.push_back("caption " + text); }
  void ShowFileName(const std::string &path) override {
    Steps.push_back("file " + path);
    // What the link runs at when the window shows the name.
    RateWhenNameShown = Link() ? Link()->BaudRate : 0;
  }
  void SetFileDialogFolder(const fs::path &folder) override {
    Steps.push_back("folder " + folder.string());
  }
  std::optional<std::string> ChooseImageFile() override { return Chosen; }
  std::unique_ptr<ProgressView> CreateProgress() override {
    ++ProgressWindows;
    return nullptr;
  }
  void ShowFailure(const std::string &text) override {
    Failures.push_back(text);
    if (WhileFailureShown)
      WhileFailureShown();
  }
  void ShowCentred(int state) override {
    Steps.push_back("centred " + std::to_string(state));
    State = state;
  }
  void CloseNow() override {
    Steps.push_back("close now");
    ++CloseNowCalls;
  }

  int State = 0, X = 10, Y = 20;
  std::vector<std::string> Steps;
  uint32_t RateWhenNameShown = 0;
  std::optional<std::string> Chosen;
  int ProgressWindows = 0;
  std::vector<std::string> Failures;
  std::function<void()> WhileFailureShown;
  int CloseNowCalls = 0;
};

class MainWindowFlowTest : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() /
              ("korvalen-flow-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(FFolder);
    fs::create_directories(FFolder);
    FPlatform = std::make_shared<FakePlatform>();
    FPlatform->Lines[2] = std::make_shared<FakeLine>();
    FPlatform->Lines[5] = std::make_shared<FakeLine>();
    AccessGranted = false;
  }
  void TearDown() override {
    ReleaseLink();
    AccessGranted = false;
    fs::current_path(fs::temp_directory_path());
    fs::remove_all(FFolder);
  }
  MainWindowSetup WindowSetup() {
    MainWindowSetup setup;
    setup.ProgramFolder = FFolder;
    setup.SettingsPath = FFolder / "korvalen.ini";
    setup.Platform = FPlatform;
    setup.GuardName = "korvalen";
    setup.GuardFolder = FFolder;
    setup.RequestQuit = [this] { ++FQuitRequests; };
    return setup;
  }

  fs::path FFolder;
  std::shared_ptr<FakePlatform> FPlatform;
  RecordingPresenter FBoxes;
  int FQuitRequests = 0;
};

TEST_F(MainWindowFlowTest, FirstShowCreatesTheSettingsFileAndOpensTheFirstFreePortAt19200) {
  FakeWindow window(WindowSetup());
  window.WindowShown();
  EXPECT_EQ(ReadAll(FFolder / "korvalen.ini"), " \r\n");
  ASSERT_NE(Link(), nullptr);
  EXPECT_EQ(Link()->PortNumber, 2);
  EXPECT_TRUE(Link()->IsOpen());
  EXPECT_EQ(Link()->BaudRate, 19200u);
  EXPECT_EQ(Link()->LineMode, 2);
  EXPECT_TRUE(window.FileName.empty());
  EXPECT_TRUE(AccessGranted);
  EXPECT_EQ(fs::current_path(), FFolder);
  EXPECT_FALSE(window.Running());
}

TEST_F(MainWindowFlowTest, FirstShowRunsItsStepsInOrderOnceAndCentresAfterThem) {
  std::ofstream(FFolder / "korvalen.ini", std::ios::binary)
      << " \r\n[Common]\r\nFN=/образы/прошивка.rom\r\n[MainWindow]\r\nState=1\r\nLeft=-50\r\n";
  FakeWindow window(WindowSetup());
  window.WindowShown();
  // The state read takes effect only once the window is centred; the left
  // edge read (brought to 0) is overridden by the centring.
  EXPECT_EQ(window.Steps, (std::vector<std::string>{"caption Korvalen", "file /образы/прошивка.rom",
                                                    "folder " + FFolder.string(), "centred 1"}));
  EXPECT_EQ(window.X, 0);
  // The name is shown before the rate is set, the last step.
  EXPECT_EQ(window.RateWhenNameShown, 115200u);
  TZor_RS *link = Link();

  window.WindowShown(); // restored later: nothing runs again
  EXPECT_EQ(window.Steps.size(), 4u);
  EXPECT_EQ(Link(), link);
}

TEST_F(MainWindowFlowTest, ShowReadsPortFileAndStateAndCloseWritesThemBackInOrder) {
  {
    std::ofstream(FFolder / "korvalen.ini", std::ios::binary)
        << " \r\n[RS232]\r\nPort=5\r\n[Common]\r\nFN=/образы/прошивка.rom\r\n"
           "[MainWindow]\r\nState=2\r\n";
  }
  FakeWindow window(WindowSetup());
  window.WindowShown();
  EXPECT_EQ(Link()->PortNumber, 5);
  EXPECT_EQ(window.FileName, "/образы/прошивка.rom");
  EXPECT_EQ(window.State, 2);
  window.State = 0;
  window.FileName = "/другой.rom";
  EXPECT_TRUE(window.HandleClose());
  EXPECT_EQ(ReadAll(FFolder / "korvalen.ini"),
            " \r\n[RS232]\r\nPort=5\r\n[Common]\r\nFN=/другой.rom\r\n[MainWindow]\r\nState=0\r\n"
            "Left=10\r\nTop=20\r\nWidth=367\r\nHeight=276\r\n");
}

TEST_F(MainWindowFlowTest, AFailedFirstShowSkipsItsRestIsCentredAndWritesNothingAtClose) {
  MainWindowSetup setup = WindowSetup();
  setup.SettingsPath = FFolder / "missing" / "korvalen.ini";
  FakeWindow window(setup);
  window.WindowShown();
  ASSERT_EQ(window.Failures.size(), 1u);
  EXPECT_EQ(window.Steps, (std::vector<std::string>{"caption Korvalen", "centred 0"}));
  ASSERT_NE(Link(), nullptr);
  EXPECT_FALSE(Link()->IsOpen());
  EXPECT_EQ(Link()->BaudRate, 115200u);
  EXPECT_FALSE(AccessGranted);

  EXPECT_TRUE(window.HandleClose());
  EXPECT_EQ(window.Failures.size(), 1u);
  EXPECT_FALSE(fs::exists(setup.SettingsPath));
}

TEST_F(MainWindowFlowTest, ARefusedCopyAndAWindowNeverShownWriteNothing) {
  const std::string stored = " \r\n[RS232]\r\nPort=5\r\n";
  std::ofstream(FFolder / "korvalen.ini", std::ios::binary) << stored;
  {
    FakeWindow neverShown(WindowSetup());
    EXPECT_FALSE(neverShown.QuitRequested());
    EXPECT_TRUE(neverShown.HandleClose());
  }
  EXPECT_EQ(ReadAll(FFolder / "korvalen.ini"), stored);

  FakeWindow first(WindowSetup());
  FakeWindow refused(WindowSetup());
  EXPECT_FALSE(first.QuitRequested());
  EXPECT_TRUE(refused.QuitRequested()); // while the window is built
  EXPECT_EQ(FQuitRequests, 1);
  refused.WindowShown();
  EXPECT_TRUE(refused.HandleClose());
  EXPECT_EQ(ReadAll(FFolder / "korvalen.ini"), stored);
}

TEST_F(MainWindowFlowTest, OpenSetsTheNameOnlyWhenConfirmed) {
  FakeWindow window(WindowSetup());
  window.WindowShown();
  window.Steps.clear();
  window.FileName = "/old.rom";
  window.RunHandler([&] { window.bOpenClick(); });
  EXPECT_EQ(window.FileName, "/old.rom");
  EXPECT_TRUE(window.Steps.empty());
  window.Chosen = "/новый.rom";
  window.RunHandler([&] { window.bOpenClick(); });
  EXPECT_EQ(window.FileName, "/новый.rom");
  EXPECT_EQ(window.Steps, std::vector<std::string>{"file /новый.rom"});
}

TEST_F(MainWindowFlowTest, AMissingImageIsReportedAndNothingIsSent) {
  FakeWindow window(WindowSetup());
  window.WindowShown();
  window.FileName = (FFolder / "нет.rom").string();
  window.RunHandler([&] { window.bLoadClick(); });
  EXPECT_EQ(window.ProgressWindows, 0);
  ASSERT_EQ(FBoxes.Errors.size(), 1u);
  EXPECT_EQ(FBoxes.Errors[0], "Файл не найден");
  EXPECT_TRUE(FPlatform->Lines[2]->Writes.empty());
  EXPECT_TRUE(window.Failures.empty());
}

TEST_F(MainWindowFlowTest, HandlersNeverNestAndACloseAskedMeanwhileComesAfter) {
  FakeWindow window(WindowSetup());
  int inner = 0;
  bool closeAllowedInside = true;
  window.RunHandler([&] {
    // A second press while the first handler pumps the event loop.
    window.RunHandler([&] { ++inner; });
    closeAllowedInside = window.HandleClose();
    EXPECT_TRUE(window.CloseDeferred());
  });
  EXPECT_EQ(inner, 0);
  EXPECT_FALSE(closeAllowedInside);
  EXPECT_EQ(window.CloseNowCalls, 1);
  EXPECT_FALSE(window.CloseDeferred());
  EXPECT_TRUE(window.HandleClose());

  window.RunHandler([] { throw Exception("Нет связи"); });
  EXPECT_EQ(window.Failures, std::vector<std::string>{"Нет связи"});
  EXPECT_EQ(window.CloseNowCalls, 1);
  EXPECT_FALSE(window.Running());
}

TEST_F(MainWindowFlowTest, ACloseAskedDuringTheFirstShowComesAfterTheCentring) {
  MainWindowSetup setup = WindowSetup();
  setup.SettingsPath = FFolder / "missing" / "korvalen.ini";
  FakeWindow window(setup);
  bool closedInside = true;
  int pressed = 0;
  // The operator closes the window, and presses a button, while the first
  // show's error box is open.
  window.WhileFailureShown = [&] {
    window.RunHandler([&] { ++pressed; });
    closedInside = window.HandleClose();
  };
  window.WindowShown();
  EXPECT_FALSE(closedInside);
  EXPECT_EQ(pressed, 0);
  EXPECT_EQ(window.Steps, (std::vector<std::string>{"caption Korvalen", "centred 0", "close now"}));
}

TEST(ApplicationTexts, TitleAndFullStopRule) {
  // The first letter stays as the file name has it; every later letter, Latin
  // or Cyrillic, is lower case.
  EXPECT_EQ(ApplicationTitleFor("korvalen"), "korvalen");
  EXPECT_EQ(ApplicationTitleFor("korvalen.exe"), "korvalen");
  EXPECT_EQ(ApplicationTitleFor("KORVALEN.EXE"), "Korvalen");
  EXPECT_EQ(ApplicationTitleFor("kORVALEN.EXE"), "korvalen");
  EXPECT_EQ(ApplicationTitleFor("KorValen"), "Korvalen");
  EXPECT_EQ(ApplicationTitleFor("My.Tool.exe"), "My");
  EXPECT_EQ(ApplicationTitleFor(".hidden"), "");
  EXPECT_EQ(ApplicationTitleFor("Загрузчик.exe"), "Загрузчик");
  EXPECT_EQ(ApplicationTitleFor("ЗАГРУЗЧИК_ЁЖ.EXE"), "Загрузчик_ёж");
  EXPECT_EQ(ApplicationTitleFor("ÉCOLE"), "École");
  EXPECT_EQ(ApplicationTitleFor("ПРОШИВКА-2"), "Прошивка-2");
  // Bytes that are no UTF-8 pass as they are.
  EXPECT_EQ(ApplicationTitleFor("A\xD0Z\xFF"), "A\xD0z\xFF");

  EXPECT_EQ(ApplicationErrorText("Unable to write to x.ini"), "Unable to write to x.ini.");
  EXPECT_EQ(ApplicationErrorText("Range check error"), "Range check error.");
  EXPECT_EQ(ApplicationErrorText("Нет связи"), "Нет связи.");
  EXPECT_EQ(ApplicationErrorText("code 7"), "code 7.");
  EXPECT_EQ(ApplicationErrorText("Готово."), "Готово.");
  EXPECT_EQ(ApplicationErrorText("Неверный пароль!"), "Неверный пароль!");
  EXPECT_EQ(ApplicationErrorText("(0x1F)"), "(0x1F)");
  EXPECT_EQ(ApplicationErrorText("RS232. Ошибка обмена.(4)"), "RS232. Ошибка обмена.(4)");
  EXPECT_EQ(ApplicationErrorText(""), "");
}

TEST(Utf8Paths, CyrillicNamesRoundTrip) {
  const std::string text = "/tmp/Корвален/прошивка.rom";
  EXPECT_EQ(Utf8FromPath(PathFromUtf8(text)), text);
  EXPECT_EQ(Utf8FromPath(PathFromUtf8(text).filename()), "прошивка.rom");
}

} // namespace
