// The gang's own logic with stand-in children (small shell scripts that
// speak the events), and the JSON event writer read back with a parser. The
// real thing, korvalen-cli against virtual devices, is in GangLoadTest.cpp.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "cli/FrameTrace.h"
#include "cli/Gang.h"
#include "cli/JsonEvents.h"
#include "cli/LinkOptions.h"
#include "cli/RunReport.h"

namespace fs = std::filesystem;

namespace {
// Standard output and error of this process, taken while it lives.
class Captured {
public:
  Captured() : FOldOut(std::cout.rdbuf(Out.rdbuf())), FOldErr(std::cerr.rdbuf(Err.rdbuf())) {}
  ~Captured() {
    std::cout.rdbuf(FOldOut);
    std::cerr.rdbuf(FOldErr);
  }
  std::ostringstream Out, Err;

private:
  std::streambuf *FOldOut, *FOldErr;
};

std::vector<Json> ParseLines(const std::string &text) {
  std::vector<Json> events;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    events.push_back(Json::parse(line)); // throws on anything that is not JSON
  return events;
}

class Gang : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() / ("korvalen-gang-" + std::to_string(getpid()));
    fs::create_directories(FFolder);
  }
  void TearDown() override { fs::remove_all(FFolder); }

  // A stand-in for korvalen-cli: `body` runs with $port set to the value of
  // the port option it was given.
  std::string Child(const std::string &body) {
    const fs::path path = FFolder / "child.sh";
    std::ofstream(path) << "#!/bin/sh\nwhile [ $# -gt 0 ]; do case $1 in --port|--device) "
                           "port=$2; shift;; esac; shift; done\n"
                        << body;
    fs::permissions(path, fs::perms::owner_all);
    return path.string();
  }
  GangSetup Setup(const std::string &program, int ports) {
    GangSetup setup;
    setup.Program = program;
    for (int n = 1; n <= ports; ++n)
      setup.Ports.push_back({"COM" + std::to_string(n), "--port", std::to_string(n)});
    setup.LoadOptions = {"--baud", "115200"};
    setup.File = "app.rom";
    return setup;
  }

  fs::path FFolder;
};
} // namespace

TEST(GangPorts, RangesAndRepeatsAreCheckedBeforeAnythingStarts) {
  std::string problem;
  EXPECT_EQ(ParsePortRange("3-6", problem), (std::vector<int>{3, 4, 5, 6}));
  EXPECT_EQ(ParsePortRange("7", problem), (std::vector<int>{7}));
  EXPECT_EQ(ParsePortRange("1-32", problem)->size(), 32u);
  for (const char *bad : {"0-3", "6-3", "3-33", "x", "3-", "-3", "3-4-5", "3 - 4", ""}) {
    problem.clear();
    EXPECT_FALSE(ParsePortRange(bad, problem)) << bad;
    EXPECT_NE(problem.find("--ports"), std::string::npos) << bad;
  }

  const auto gang = GangPorts({3, 4}, {"/dev/ttyUSB7"}, {9, 10}, problem);
  ASSERT_EQ(gang.size(), 5u);
  EXPECT_EQ(gang[0].Name, "COM3");
  EXPECT_EQ(gang[2].Name, "/dev/ttyUSB7");
  EXPECT_EQ(gang[2].Option, "--device");
  EXPECT_EQ(gang[4].Value, "10");
  problem.clear();
  EXPECT_TRUE(GangPorts({4}, {}, {3, 4, 5}, problem).empty());
  EXPECT_EQ(problem, "COM4 is named twice.");
}

// A child's `load` parses back into the options the gang was given, its own
// port, --json, and the file, whatever its name.
TEST(GangPorts, AChildGetsTheParsedOptionsItsPortAndTheFile) {
  const std::vector<std::vector<std::string>> lines = {
      {"--port", "3", "--port", "4"},
      {"--ports", "3-5", "--baud", "115200", "--line-mode", "0", "--wait", "2.5", "--verbose"},
      {"--device=/dev/x", "--device", "/dev/y", "--allow-console", "--json", "--wait", "0"},
  };
  const auto parse = [](std::vector<std::string> arguments, LinkOptions &options,
                        std::string &file) {
    CLI::App app;
    AddLinkOptions(app, options, true);
    app.add_option("FILE", file)->required();
    std::reverse(arguments.begin(), arguments.end()); // CLI11 takes them last first
    app.parse(arguments);
  };
  for (const auto &line : lines) {
    SCOPED_TRACE(line[0] + " " + line[1]);
    LinkOptions given;
    std::string file;
    std::vector<std::string> arguments = line;
    arguments.push_back("app.rom");
    parse(arguments, given, file);

    GangSetup setup;
    setup.Program = "korvalen-cli";
    setup.LoadOptions = LinkArguments(given);
    setup.File = "-odd name.rom";
    const GangPort port{"/dev/z", "--device", "/dev/z"};
    const std::vector<std::string> child = ChildCommandLine(setup, port);
    ASSERT_GE(child.size(), 2u);
    EXPECT_EQ(child[0], "korvalen-cli");
    EXPECT_EQ(child[1], "load");
    LinkOptions taken;
    parse({child.begin() + 2, child.end()}, taken, file);
    EXPECT_EQ(file, "-odd name.rom");
    EXPECT_EQ(taken.Devices, (std::vector<std::string>{"/dev/z"}));
    EXPECT_TRUE(taken.Ports.empty());
    EXPECT_TRUE(taken.Range.empty());
    EXPECT_TRUE(taken.Json);
    EXPECT_EQ(taken.LineMode, given.LineMode);
    EXPECT_EQ(taken.Baud, given.Baud);
    EXPECT_EQ(taken.Wait, given.Wait);
    EXPECT_EQ(taken.Verbose, given.Verbose);
    EXPECT_EQ(taken.AllowConsole, given.AllowConsole);
  }
}

// The names the JSON retries and the --verbose trace give requests.
TEST(CommandNames, OneNameForACommandInTheTraceAndTheEvents) {
  EXPECT_EQ(CommandCodeName(kCommandWritePage), "WritePage");
  EXPECT_EQ(CommandCodeName(0), "QueryAddress");
  EXPECT_EQ(CommandCodeName(200), "command 200");
  const uint8_t query[] = {0x06, 0x00, 0x01, 0x00, 0x00, 0xF9};
  const uint8_t zeroToDevice[] = {0x06, 0xFB, 0x01, 0x00, 0x00, 0xFE};
  const uint8_t block[] = {0x87, 0xFB, 0x01, 0x00, 0x0A, 0x07};
  EXPECT_EQ(CommandName(query, sizeof query), "QueryAddress");
  EXPECT_EQ(CommandName(zeroToDevice, sizeof zeroToDevice), "command 0");
  EXPECT_EQ(CommandName(block, sizeof block), "WriteBlock 7");
  EXPECT_EQ(CommandName(block, 5), "WriteBlock");
  EXPECT_EQ(CommandName(block, 4), "?");
}

TEST(JsonEvents, EveryEventReadsBackWithItsFields) {
  std::ostringstream out;
  JsonEvents events(out, "COM3");
  DeviceIdentity identity;
  identity.DeviceCode = 97;
  identity.Data4 = 0x30;
  identity.ResetVector = {4, 2, 0, 0, 0, 0};
  events.Waiting();
  events.Identified(identity);
  events.Page(5, 0x1000);
  events.Progress(62);
  events.Retry(kCommandWriteBlock, AttemptFailure::Checksum, 1);
  LinkStatistics statistics;
  statistics.Exchanges = 171;
  statistics.Attempts = 173;
  statistics.FailedAttempts[static_cast<size_t>(AttemptFailure::Checksum)] = 2;
  statistics.BytesSent = 24567;
  RunEnd end;
  end.ExitCode = 2;
  end.Message = "RS232. Ошибка обмена.(0)";
  end.Elapsed = 5.8123;
  end.PagesSent = 3;
  end.Statistics = statistics;
  end.UnansweredPolls = 4;
  events.End(end);
  JsonEvents(out, "").Write("port", {{"device", "/dev/ttyUSB0"}});

  const std::vector<Json> lines = ParseLines(out.str());
  ASSERT_EQ(lines.size(), 7u);
  double t = 0;
  for (const Json &line : lines) {
    EXPECT_GE(line.at("t").get<double>(), t) << "t never goes back";
    t = line.at("t").get<double>();
    EXPECT_EQ(line.begin().key(), "port") << "port, t and event come first";
  }
  EXPECT_EQ(lines[0].at("port"), "COM3");
  EXPECT_EQ(lines[0].at("event"), "waiting");
  EXPECT_EQ(lines[1].at("device_code"), 97);
  EXPECT_EQ(lines[1].at("data_bytes"), Json({0, 0, 0x30, 0}));
  EXPECT_EQ(lines[1].at("reset_vector"), Json({4, 2, 0, 0, 0, 0}));
  EXPECT_EQ(lines[1].at("accepted"), true);
  EXPECT_EQ(lines[2].at("page"), 5);
  EXPECT_EQ(lines[2].at("address"), 4096);
  EXPECT_EQ(lines[3].at("percent"), 62);
  EXPECT_EQ(lines[4].at("command"), "WriteBlock");
  EXPECT_EQ(lines[4].at("reason"), "checksum");
  EXPECT_EQ(lines[4].at("attempt"), 1);
  const Json &failed = lines[5];
  EXPECT_EQ(failed.at("event"), "failed");
  EXPECT_EQ(failed.at("exit_code"), 2);
  EXPECT_EQ(failed.at("message"), "RS232. Ошибка обмена.(0)") << "UTF-8, as the system says it";
  EXPECT_EQ(failed.at("elapsed"), 5.812);
  EXPECT_EQ(failed.at("bytes_sent"), 3 * 1536);
  const Json &s = failed.at("statistics");
  EXPECT_EQ(s.at("exchanges"), 171);
  EXPECT_EQ(s.at("retries"), 2);
  EXPECT_EQ(s.at("failed_attempts").at("checksum"), 2);
  EXPECT_EQ(s.at("failed_attempts").at("late_echo"), 0);
  EXPECT_EQ(s.at("failed_attempts").size(), kAttemptFailureKinds);
  EXPECT_EQ(s.at("line_bytes_sent"), 24567);
  EXPECT_EQ(s.at("unanswered_polls"), 4);
  EXPECT_TRUE(lines[6].at("port").is_null()) << "a command without a port";
  EXPECT_EQ(lines[6].at("device"), "/dev/ttyUSB0");
}

TEST(RunReport, StatisticsForAPerson) {
  LinkStatistics s;
  s.Exchanges = 171;
  s.Attempts = 174;
  s.FailedAttempts[static_cast<size_t>(AttemptFailure::Checksum)] = 2;
  s.FailedAttempts[static_cast<size_t>(AttemptFailure::NoReply)] = 1;
  s.BytesSent = 24567;
  s.BytesReceived = 25001;
  EXPECT_EQ(StatisticsText(s, 0), "171 exchanges, 174 attempts (3 failed: no reply 1, checksum 2), "
                                  "24567 bytes sent, 25001 received");
  s = {};
  s.Exchanges = s.Attempts = 1;
  EXPECT_EQ(StatisticsText(s, 1), "1 exchange, 1 attempt, 0 bytes sent, 0 received; 1 "
                                  "unanswered poll before the device answered");
}

TEST_F(Gang, EachPortEndsOnItsOwnAndTheHighestCodeWins) {
  // COM1 done, COM2 a link failure, COM3 rejected, COM4 dies without a word.
  const std::string program = Child(R"(
case $port in
1) echo '{"port":"COM1","t":0,"event":"identified","device_code":97}'
   echo '{"port":"COM1","t":0,"event":"done","exit_code":0,"message":"Загрузка окончена.","elapsed":1.5,"statistics":{"retries":2}}'
   exit 0;;
2) echo 'RS232. Нет связи.' >&2
   echo '{"port":"COM2","t":0,"event":"failed","exit_code":2,"message":"RS232. Нет связи.","elapsed":0.5}'
   exit 2;;
3) echo '{"port":"COM3","t":0,"event":"failed","exit_code":1,"message":"В устройстве неверный микроконтроллер."}'
   exit 1;;
4) echo 'not an event'; kill -9 $$;;
esac
)");
  GangSetup setup = Setup(program, 4);
  setup.Json = true;
  Captured captured;
  const int code = RunGang(setup);
  EXPECT_EQ(code, 2) << captured.Err.str();

  std::map<std::string, Json> last;
  for (const Json &event : ParseLines(captured.Out.str()))
    last[event.at("port")] = event;
  ASSERT_EQ(last.size(), 4u) << captured.Out.str();
  EXPECT_EQ(last["COM1"].at("event"), "done");
  EXPECT_EQ(last["COM2"].at("exit_code"), 2);
  EXPECT_EQ(last["COM3"].at("exit_code"), 1);
  EXPECT_EQ(last["COM4"].at("event"), "failed") << "an end said for a child that could not";
  EXPECT_NE(last["COM4"].at("message").get<std::string>().find("signal 9"), std::string::npos);

  // Without a terminal: plain lines prefixed by the port, then the table.
  const std::string err = captured.Err.str();
  EXPECT_NE(err.find("COM2: RS232. Нет связи."), std::string::npos) << err;
  EXPECT_NE(err.find("COM4: not an event"), std::string::npos);
  EXPECT_NE(err.find("COM1  97      done          1.50        2  Загрузка окончена."),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("COM3  -       rejected"), std::string::npos);
}

TEST_F(Gang, CtrlCReachesEveryPortAndAThirdOneKills) {
  // Each stand-in ends "cancelled" on its first interrupt, except COM2,
  // which ignores interrupts altogether.
  const std::string program = Child(R"(
if [ "$port" = 2 ]; then trap '' INT; else trap 'echo "{\"event\":\"cancelled\",\"exit_code\":3,\"message\":\"Cancelled.\"}"; exit 3' INT; fi
echo '{"event":"waiting"}'
while :; do sleep 0.05; done
)");
  GangSetup setup = Setup(program, 3);
  setup.Json = true;
  Captured captured;
  std::thread operatorHand([] {
    for (int press = 0; press < 3; ++press) {
      std::this_thread::sleep_for(std::chrono::milliseconds(700));
      kill(getpid(), SIGINT);
    }
  });
  const int code = RunGang(setup);
  operatorHand.join();
  EXPECT_EQ(code, 3) << captured.Err.str();
  std::map<std::string, std::string> ends;
  for (const Json &event : ParseLines(captured.Out.str()))
    ends[event.at("port")] = event.at("event");
  EXPECT_EQ(ends["COM1"], "cancelled");
  EXPECT_EQ(ends["COM2"], "cancelled") << "killed at the third Ctrl-C";
  EXPECT_EQ(ends["COM3"], "cancelled");
}
