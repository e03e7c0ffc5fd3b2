// The port table, opening by number, the settings key, the port choice and
// the access gate in front of it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "FakeSerial.h"
#include "RecordingPresenter.h"
#include "link/AccessGate.h"
#include "link/Zor_RS232.h"
#include "runtime/IniFls.h"

namespace fs = std::filesystem;

namespace {
class PortLayer : public ::testing::Test {
protected:
  void SetUp() override {
    AccessGranted = true;
    FFolder = fs::temp_directory_path() /
              ("korvalen-port-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(FFolder);
  }
  void TearDown() override {
    fs::remove_all(FFolder);
    AccessGranted = false;
  }
  void Present(std::initializer_list<int> ports) {
    for (int n : ports) {
      auto line = std::make_shared<FakeLine>();
      line->Clock = &FClock;
      FPlatform->Lines[n] = line;
    }
  }
  std::unique_ptr<TZor_RS> MakeLink() {
    return std::make_unique<TZor_RS>(nullptr, nullptr, FPlatform, &FClock);
  }
  fs::path Ini(const std::string &content) {
    const fs::path path = FFolder / "korvalen.ini";
    std::ofstream(path, std::ios::binary) << content;
    return path;
  }

  fs::path FFolder;
  FakeClock FClock;
  std::shared_ptr<FakePlatform> FPlatform = std::make_shared<FakePlatform>();
  RecordingPresenter FPresenter;
};
} // namespace

TEST_F(PortLayer, TheScanFindsThePresentPorts) {
  Present({2, 5});
  auto link = MakeLink();
  EXPECT_EQ(link->PortCount, 2);
  for (int n = 1; n <= 32; ++n)
    EXPECT_EQ(link->PortFree[n], n == 2 || n == 5) << n;
  EXPECT_EQ(link->FirstFreePort(), 2);
  EXPECT_EQ(link->PortNumber, 2);
  EXPECT_EQ(link->BaudRate, 115200u);
  EXPECT_EQ(link->StopBits, 2);
  EXPECT_EQ(link->DeviceName, "RS232");
  EXPECT_FALSE(link->IsOpen()) << "construction opens nothing";
  EXPECT_TRUE(FPresenter.Errors.empty());
}

TEST_F(PortLayer, NoPortAtAll) {
  auto link = MakeLink();
  EXPECT_EQ(FPresenter.Errors, std::vector<std::string>{SNoFreePort});
  EXPECT_EQ(link->PortNumber, 0);
  EXPECT_EQ(link->BaudRate, 115200u) << "the link stores its line settings again";

  TMIniFile ini(Ini(" \r\n[RS232]\r\nPort=3\r\n"));
  link->LoadSettings(ini);
  EXPECT_EQ(FPresenter.Errors.size(), 2u) << "shown again when the port is to be opened";
  EXPECT_FALSE(link->IsOpen());
  link->SaveSettings(ini);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", -1), 0);
}

TEST_F(PortLayer, LoadSettingsOpensTheStoredPortOrFallsBack) {
  Present({2, 5});
  {
    auto link = MakeLink();
    TMIniFile ini(Ini(" \r\n"));
    link->LoadSettings(ini);
    EXPECT_EQ(link->PortNumber, 2) << "no key: the lowest port found";
    EXPECT_TRUE(link->IsOpen());
  }
  {
    FPlatform->Lines.erase(5);
    Present({2});
    auto link = MakeLink();
    TMIniFile ini(Ini("[RS232]\r\nPort=5\r\n"));
    link->LoadSettings(ini);
    EXPECT_EQ(link->PortNumber, 2) << "COM5 was not found";
    link->SaveSettings(ini);
    EXPECT_EQ(ini.ReadInteger("RS232", "Port", -1), 2);
  }
  for (const char *stored : {"0", "-4"}) {
    auto link = MakeLink();
    TMIniFile ini(Ini(std::string("[RS232]\r\nPort=") + stored + "\r\n"));
    link->LoadSettings(ini);
    EXPECT_FALSE(link->IsOpen()) << stored;
    EXPECT_TRUE(FPresenter.Errors.empty()) << stored;
  }
  {
    auto link = MakeLink();
    TMIniFile ini(Ini("[RS232]\r\nPort=77\r\n"));
    link->LoadSettings(ini);
    EXPECT_EQ(link->PortNumber, 2) << "a number past the table falls back like a missing port";
    EXPECT_TRUE(link->IsOpen());
  }
}

TEST_F(PortLayer, OpeningAppliesTheLineSettingsAndRaisesDTR) {
  Present({1});
  auto link = MakeLink();
  link->OpenPort(1);
  const FakeLine &line = *FPlatform->Lines[1];
  EXPECT_EQ(line.State.BaudRate, 115200u);
  EXPECT_EQ(line.State.ByteSize, 8);
  EXPECT_EQ(line.State.Parity, 0);
  EXPECT_EQ(line.State.StopBits, 2);
  EXPECT_EQ(line.DTRRaised, 1);
  EXPECT_EQ(line.RTSRaised + line.RTSCleared, 0) << "RTS is not touched on open";
  EXPECT_GE(line.InputPurges, 1);
}

TEST_F(PortLayer, BaudRateStoredWhileClosedAndKeptWhenRefused) {
  Present({1});
  auto link = MakeLink();
  link->SetBaudRate(19200);
  EXPECT_EQ(link->BaudRate, 19200u);
  link->OpenPort(1);
  EXPECT_EQ(FPlatform->Lines[1]->State.BaudRate, 19200u);

  FPlatform->Lines[1]->RefusedRates = {12345};
  std::vector<std::string> told;
  link->PortFailed = [&](PortOperation operation, const PortError &error) {
    told.push_back(PortFailureText(operation, error));
  };
  link->SetBaudRate(12345);
  EXPECT_EQ(link->BaudRate, 19200u) << "the rate in force";
  EXPECT_EQ(told, std::vector<std::string>{
                      "line settings refused by the system: Invalid argument (EINVAL)"});
}

TEST_F(PortLayer, ScanClosesTheOpenPortForGood) {
  Present({1, 3});
  auto link = MakeLink();
  link->OpenPort(3);
  ASSERT_TRUE(link->IsOpen());
  EXPECT_EQ(link->ScanPorts(), 2);
  EXPECT_FALSE(link->IsOpen());
  EXPECT_TRUE(link->PortFree[3]);
}

TEST_F(PortLayer, ChoosePortListsFreePortsAndOpensTheChoice) {
  Present({1, 3, 12});
  auto link = MakeLink();
  link->OpenPort(3);
  PortChoice shown;
  std::optional<int> answer = 0;
  ScopedDialogHooks hooks({.ChoosePort = [&](const PortChoice &c) {
    shown = c;
    return answer;
  }});

  link->ChoosePort();
  EXPECT_EQ(shown.Entries, (std::vector<std::string>{"COM1", "COM3", "COM12"}));
  EXPECT_EQ(shown.DevicePaths[2], "/dev/fake12");
  EXPECT_EQ(shown.Selected, 1) << "the current port is selected";
  EXPECT_EQ(link->PortNumber, 1);
  EXPECT_TRUE(link->IsOpen());

  answer = 2;
  link->ChoosePort();
  EXPECT_EQ(link->PortNumber, 12);

  const int opensBefore = FPlatform->Opens[12];
  answer = std::nullopt;
  link->ChoosePort();
  EXPECT_EQ(link->PortNumber, 12) << "Cancel keeps the port";
  EXPECT_EQ(FPlatform->Opens[12], opensBefore + 1) << "and opens it again";
  EXPECT_TRUE(link->IsOpen());

  answer = -1;
  link->ChoosePort();
  EXPECT_EQ(link->PortNumber, 12) << "OK with nothing selected changes nothing";
  EXPECT_TRUE(link->IsOpen());

  TMIniFile ini(Ini(" \r\n"));
  link->SaveSettings(ini);
  EXPECT_EQ(ini.ReadInteger("RS232", "Port", -1), 12);
}

TEST_F(PortLayer, ChoosePortWithNoPortLeftClosesAndSays) {
  Present({1});
  auto link = MakeLink();
  link->OpenPort(1);
  FPlatform->Busy[1] = true;
  bool shown = false;
  ScopedDialogHooks hooks({.ChoosePort = [&](const PortChoice &) {
    shown = true;
    return std::optional<int>(0);
  }});
  link->ChoosePort();
  EXPECT_FALSE(shown);
  EXPECT_EQ(FPresenter.Errors, std::vector<std::string>{SNoFreePort});
  EXPECT_FALSE(link->IsOpen());
  EXPECT_EQ(link->PortNumber, 1);
}

TEST_F(PortLayer, ChooseBaudRateClampsWhatTheFieldStillHolds) {
  Present({1});
  auto link = MakeLink();
  link->OpenPort(1);
  link->SetBaudRate(19200);
  uint32_t shownRate = 0;
  std::optional<int64_t> answer = 57600;
  ScopedDialogHooks hooks({.ChooseBaudRate = [&](uint32_t current) {
    shownRate = current;
    return answer;
  }});
  link->ChooseBaudRate();
  EXPECT_EQ(shownRate, 19200u);
  EXPECT_EQ(link->BaudRate, 57600u);
  answer = 1000000;
  link->ChooseBaudRate();
  EXPECT_EQ(link->BaudRate, 921600u);
  answer = 50;
  link->ChooseBaudRate();
  EXPECT_EQ(link->BaudRate, 110u);
  answer = std::nullopt;
  link->ChooseBaudRate();
  EXPECT_EQ(link->BaudRate, 110u);
}

TEST_F(PortLayer, TheGateAsksUntilTheRightPasswordIsGiven) {
  Present({1});
  auto link = MakeLink();
  AccessGranted = false;
  std::vector<std::string> asked;
  std::optional<std::string> typed;
  int portDialogs = 0;
  ScopedDialogHooks hooks({.ChoosePort =
                               [&](const PortChoice &) {
                                 ++portDialogs;
                                 return std::optional<int>();
                               },
                           .AskPassword =
                               [&](const std::string &message) {
                                 asked.push_back(message);
                                 return typed;
                               }});
  for (auto refused : {std::optional<std::string>(), std::optional<std::string>(""),
                       std::optional<std::string>("kwt"), std::optional<std::string>("KWTX")}) {
    typed = refused;
    link->ChoosePort();
    EXPECT_EQ(FPresenter.Errors.back(), "Неверный пароль!");
  }
  EXPECT_EQ(portDialogs, 0);
  EXPECT_EQ(FPresenter.Errors.size(), 4u);
  EXPECT_FALSE(AccessGranted);
  EXPECT_EQ(asked.front(), "Данная команда будет выполняться только после ввода пароля!");

  typed = "KWT";
  link->ChoosePort();
  EXPECT_EQ(portDialogs, 1);
  EXPECT_TRUE(AccessGranted);
  const size_t questions = asked.size();
  link->ChooseBaudRate();
  link->ChoosePort();
  EXPECT_EQ(asked.size(), questions) << "no dialog once granted";
  EXPECT_EQ(portDialogs, 2);
}
