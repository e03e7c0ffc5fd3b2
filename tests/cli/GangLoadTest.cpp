// Many devices at once and the events of --json, as a production line runs
// them: korvalen-cli against korvalen-sim processes on pseudo-terminals, and
// standard output read back with a JSON parser.
#include "cli/GangFixture.h"

#include <pty.h>

namespace {
using namespace gang;

class GangLoad : public GangFixture {};
} // namespace

TEST_F(GangLoad, FourDevicesOneHangsUpOneIsRejectedTheOthersAreExact) {
  // Paced at the line's rate, so that the four loads overlap in time.
  const std::vector<std::string> paced = {"--pace-baud", "115200"};
  StartDevice(1, paced);
  std::vector<std::string> hangup = paced;
  hangup.insert(hangup.end(), {"--hangup-after", "8"}); // Identify, then blocks 0-6 of page 1
  StartDevice(2, hangup);
  std::vector<std::string> foreign = paced;
  foreign.insert(foreign.end(), {"--device-code", "98"});
  StartDevice(3, foreign);
  Sim &fourth = StartDevice(4, paced);
  const Ran run = RunCli({"load", "--ports", "1-3", "--device", fourth.SlavePath(), "--json",
                          "--line-mode", "2", "--baud", "115200", Image(6)});
  ASSERT_TRUE(run.Code) << "the gang hung:\n" << run.Err;
  EXPECT_EQ(*run.Code, 2) << "a link failure is the highest code\n" << run.Err;

  const std::vector<Json> events = Events(run.Out);
  auto ports = ByPort(events);
  ASSERT_EQ(ports.size(), 4u) << run.Out;
  const std::string path = fourth.SlavePath();
  for (const std::string port : {"COM1", "COM2", "COM3", path.c_str()}) {
    SCOPED_TRACE(port);
    ASSERT_FALSE(ports[port].empty());
    EXPECT_EQ(ports[port].front().at("event"), "waiting");
    EXPECT_EQ(std::count_if(events.begin(), events.end(),
                            [&](const Json &e) {
                              const std::string name = e.at("event");
                              return e.at("port") == port &&
                                     (name == "done" || name == "failed" || name == "cancelled");
                            }),
              1)
        << "one end per port";
  }
  // At once: every port began before any load was done. (The foreign device
  // is refused at once, and may be so before a slow machine starts the last.)
  size_t firstDone = 0, lastStart = 0;
  for (size_t i = 0; i < events.size(); ++i) {
    const std::string name = events[i].at("event");
    if (name == "waiting")
      lastStart = i;
    if (name == "done" && firstDone == 0)
      firstDone = i;
  }
  EXPECT_LT(lastStart, firstDone);
  double t = 0;
  for (const Json &event : events) {
    EXPECT_GE(event.at("t").get<double>(), t) << "one clock for all ports";
    t = event.at("t");
  }

  for (const std::string port : {"COM1", path.c_str()}) {
    const Json &done = ports[port].back();
    EXPECT_EQ(done.at("event"), "done") << port;
    EXPECT_EQ(done.at("exit_code"), 0);
    EXPECT_EQ(done.at("message"), kDone);
    EXPECT_EQ(done.at("pages_sent"), 3);
    EXPECT_EQ(done.at("finish_confirmed"), true);
    EXPECT_EQ(done.at("statistics").at("exchanges"), 1 + 3 * 13 + 1);
  }
  const Json &hungUp = ports["COM2"].back();
  EXPECT_EQ(hungUp.at("event"), "failed");
  EXPECT_EQ(hungUp.at("exit_code"), 2);
  EXPECT_EQ(hungUp.at("message"), kNoLink);
  EXPECT_GT(hungUp.at("statistics").at("failed_attempts").at("hung_up"), 0);
  const Json &rejected = ports["COM3"].back();
  EXPECT_EQ(rejected.at("exit_code"), 1);
  EXPECT_EQ(rejected.at("message"), kWrongMicrocontroller);
  const auto identified = std::find_if(ports["COM3"].begin(), ports["COM3"].end(),
                                       [](const Json &e) { return e.at("event") == "identified"; });
  ASSERT_NE(identified, ports["COM3"].end());
  EXPECT_EQ(identified->at("device_code"), 98);
  EXPECT_EQ(identified->at("accepted"), false);

  // The table, on stderr since stdout carries the events.
  EXPECT_EQ(Row(run.Err, "COM1 ").rfind("COM1 97 done ", 0), 0u) << run.Err;
  EXPECT_EQ(Row(run.Err, "COM2 ").rfind("COM2 97 failed ", 0), 0u) << run.Err;
  EXPECT_EQ(Row(run.Err, "COM3 ").rfind("COM3 98 rejected ", 0), 0u) << run.Err;
  EXPECT_EQ(Row(run.Err, path + " ").rfind(path + " 97 done ", 0), 0u) << run.Err;

  for (auto &device : FDevices)
    device->Stop();
  EXPECT_EQ(FDevices[0]->MemoryBytes(), Loaded());
  EXPECT_EQ(FDevices[3]->MemoryBytes(), Loaded());
  EXPECT_TRUE(FDevices[1]->MemoryBytes().empty()) << "page 1 never got its WritePage";
  EXPECT_TRUE(FDevices[2]->MemoryBytes().empty());
  EXPECT_EQ(FDevices[2]->Requests("WriteBlock"), 0u);
}

TEST_F(GangLoad, CtrlCCancelsEveryPort) {
  for (int n = 1; n <= 3; ++n)
    StartDevice(n, {"--pace-baud", "19200"});
  Options options = WithFiles({"load", "--port", "1", "--port", "2", "--port", "3", "--json",
                               "--baud", "19200", Image(12)});
  Child gang(FProgram, options);
  // Once every port is loading, Ctrl-C.
  ASSERT_TRUE(EveryPortLoading(3));
  gang.Signal(SIGINT);
  const std::optional<int> code = gang.Wait(60s);
  ASSERT_TRUE(code) << "the gang hung";
  EXPECT_EQ(*code, 3);
  const auto ports = ByPort(Events(Slurp(FFolder / "out.txt")));
  for (const auto &[port, events] : ports) {
    EXPECT_EQ(events.back().at("event"), "cancelled") << port;
    EXPECT_EQ(events.back().at("cancelled_by"), "interrupt") << port;
  }
  for (auto &device : FDevices) {
    device->Stop();
    EXPECT_EQ(device->Requests("Finish"), 0u) << "a cancelled load sends no Finish";
    const Bytes memory = device->MemoryBytes();
    EXPECT_TRUE(std::equal(memory.begin(), memory.end(), Loaded().begin()))
        << "what a device holds is what it must hold";
  }
}

TEST_F(GangLoad, OnATerminalOneLinePerPortIsRedrawnInPlace) {
  StartDevice(1, {});
  StartDevice(2, {});
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Options options = WithFiles({"load", "--ports", "1-2", Image(5)});
  options.Err = Stream::ToDescriptor(slave);
  options.NewSession = true;
  Child gang(FProgram, options);
  close(slave);
  const std::string screen = ReadTerminal(master, gang);
  close(master);
  EXPECT_EQ(gang.Wait(), 0) << screen;
  EXPECT_TRUE(Has(screen, "\x1b[2A")) << "back up over the two lines to redraw them";
  EXPECT_TRUE(Has(screen, "COM1  [##########]  100%  Загрузка окончена.")) << screen;
  EXPECT_TRUE(Has(screen, "COM2  [##########]  100%  Загрузка окончена.")) << screen;
  const std::string table = Slurp(FFolder / "out.txt");
  EXPECT_TRUE(Has(table, "Port  Device  Result")) << table;
  EXPECT_TRUE(Has(table, "COM2  97      done")) << table;
}

TEST_F(GangLoad, TheGangRefusesWhatItCannotDoBeforeAnyPortIsOpened) {
  StartDevice(1, {});
  StartDevice(2, {});
  const Ran missing = RunCli({"load", "--ports", "1-2", (FFolder / "none.rom").string()});
  EXPECT_EQ(missing.Code, 4);
  EXPECT_EQ(missing.Err.find("Файл не найден"), missing.Err.rfind("Файл не найден"))
      << "said once, not per port\n"
      << missing.Err;
  const Ran twice = RunCli({"load", "--port", "2", "--ports", "1-2", Image(5)});
  EXPECT_EQ(twice.Code, 64);
  EXPECT_TRUE(Has(twice.Err, "COM2 is named twice.")) << twice.Err;
  EXPECT_EQ(RunCli({"load", "--ports", "5-2", Image(5)}).Code, 64);
  for (auto &device : FDevices) {
    device->Stop();
    EXPECT_EQ(device->Requests("Identify"), 0u);
  }
}

TEST_F(GangLoad, OnePortSpeaksJsonThroughEveryCommand) {
  StartDevice(1, {"--silent-polls", "4", "--damage-frames", "7"}, true);
  const std::string image = Image(6);

  const Ran load = RunCli({"load", "--port", "1", "--json", image});
  EXPECT_EQ(load.Code, 0) << load.Err;
  const std::vector<Json> events = Events(load.Out);
  ASSERT_FALSE(events.empty());
  std::vector<std::string> names;
  std::vector<int> percents, pages;
  for (const Json &event : events) {
    EXPECT_EQ(event.at("port"), "COM1");
    names.push_back(event.at("event"));
    if (event.at("event") == "progress")
      percents.push_back(event.at("percent"));
    if (event.at("event") == "page") {
      pages.push_back(event.at("page"));
      EXPECT_EQ(event.at("address"), (pages.back() - 1) * 1024);
    }
  }
  EXPECT_EQ(names.front(), "waiting");
  EXPECT_EQ(names[1], "identified");
  EXPECT_EQ(pages, (std::vector<int>{1, 5, 6}));
  EXPECT_EQ(percents, (std::vector<int>{0, 17, 83, 100}));
  const auto retry = std::find(names.begin(), names.end(), "retry");
  ASSERT_NE(retry, names.end()) << "the damaged reply was retried";
  EXPECT_EQ(events[retry - names.begin()].at("reason"), "checksum");
  const Json &done = events.back();
  EXPECT_EQ(done.at("event"), "done");
  EXPECT_EQ(done.at("bytes_sent"), 3 * 1536);
  // Counts from the device's answer on (a busy machine may add a late reply).
  const Json &counts = done.at("statistics");
  EXPECT_EQ(counts.at("failed_attempts").at("checksum"), 1);
  EXPECT_GE(counts.at("unanswered_polls"), 1) << "three silent polls made one";
  EXPECT_GE(counts.at("failed_attempts").at("no_reply"), 1) << "the fourth came after";
  EXPECT_GE(counts.at("exchanges"), 1 + 3 * 13 + 1);
  EXPECT_EQ(counts.at("attempts"),
            counts.at("exchanges").get<int>() + counts.at("retries").get<int>());
  // Human text on stderr, among it the summary with the same counts.
  EXPECT_TRUE(Has(load.Err, kDone)) << load.Err;
  const std::string line = "Line: " + std::to_string(counts.at("exchanges").get<int>()) +
                           " exchanges, " + std::to_string(counts.at("attempts").get<int>()) +
                           " attempts (";
  EXPECT_TRUE(Has(load.Err, line)) << load.Err;
  EXPECT_TRUE(Has(load.Err, "checksum 1)")) << load.Err;
  EXPECT_FALSE(Has(load.Err, "17%")) << "without a terminal the events carry the progress";

  const Ran identify = RunCli({"identify", "--port", "1", "--json"});
  EXPECT_EQ(identify.Code, 0) << identify.Err;
  const std::vector<Json> told = Events(identify.Out);
  ASSERT_EQ(told.size(), 3u) << identify.Out;
  EXPECT_EQ(told[1].at("reset_vector"), Json(kResetVector));
  EXPECT_EQ(told[2].at("event"), "done");
  EXPECT_TRUE(Has(identify.Err, "Accepted: yes"));

  const Ran info = RunCli({"info", "--json", image});
  EXPECT_EQ(info.Code, 0);
  const std::vector<Json> layout = Events(info.Out);
  ASSERT_EQ(layout.size(), 7u);
  EXPECT_TRUE(layout[0].at("port").is_null());
  EXPECT_EQ(layout[1].at("sent"), false) << "page 2";
  EXPECT_EQ(layout[6].at("event"), "image");
  EXPECT_EQ(layout[6].at("pages_sent"), 3);
  EXPECT_EQ(layout[6].at("trailer").at("device_code"), 97);

  const Ran ports = RunCli({"ports", "--json"});
  EXPECT_EQ(ports.Code, 0);
  const std::vector<Json> listed = Events(ports.Out);
  ASSERT_EQ(listed.size(), 1u) << ports.Out;
  EXPECT_EQ(listed[0].at("port"), "COM1");
  EXPECT_EQ(listed[0].at("status"), "free");

  FDevices.front()->Stop();
  const Ran missing = RunCli({"load", "--port", "1", "--json", image});
  EXPECT_EQ(missing.Code, 2);
  const std::vector<Json> refused = Events(missing.Out);
  ASSERT_EQ(refused.size(), 1u) << "only the end: no port to wait on";
  EXPECT_EQ(refused[0].at("event"), "failed");
  EXPECT_TRUE(Has(refused[0].at("message"), "COM1")) << refused[0].dump();
}

TEST_F(GangLoad, AGangKilledOutrightLeavesNoPortBehind) {
  StartDevice(1, {"--silent-polls", "1000000"});
  StartDevice(2, {"--silent-polls", "1000000"});
  Child gang(FProgram, WithFiles({"load", "--ports", "1-2", "--json", Image(5)}));
  ASSERT_TRUE(WaitUntil([&] { return ByPort(Events(Slurp(FFolder / "out.txt"))).size() == 2; }));
  gang.Signal(SIGKILL);
  gang.Wait();
  // Each port's korvalen-cli stops as at Ctrl-C and lets its port go.
  const bool released = WaitUntil(
      [&] {
        const Ran ports = RunCli({"ports", "--json"});
        const std::vector<Json> listed = Events(ports.Out);
        return listed.size() == 2 && std::all_of(listed.begin(), listed.end(), [](const Json &p) {
                 return p.at("status") == "free";
               });
      },
      20s);
  EXPECT_TRUE(released) << Slurp(FFolder / "out.txt");
}

TEST_F(GangLoad, ASecondCtrlCStopsEveryPortAtOnce) {
  for (int n = 1; n <= 2; ++n)
    StartDevice(n, {"--pace-baud", "9600"});
  Child gang(FProgram, WithFiles({"load", "--ports", "1-2", "--json", "--baud", "9600", Image(8)}));
  ASSERT_TRUE(EveryPortLoading(2));
  gang.Signal(SIGINT);
  std::this_thread::sleep_for(100ms);
  gang.Signal(SIGINT);
  const std::optional<int> code = gang.Wait(60s);
  ASSERT_TRUE(code) << "the gang hung";
  EXPECT_EQ(*code, 3);
  for (const auto &[port, events] : ByPort(Events(Slurp(FFolder / "out.txt")))) {
    EXPECT_EQ(events.back().at("event"), "cancelled") << port;
    EXPECT_EQ(events.back().at("exit_code"), 3) << port;
  }
  EXPECT_TRUE(Has(Slurp(FFolder / "err.txt"), "stopped at once")) << Slurp(FFolder / "err.txt");
  for (auto &device : FDevices) {
    device->Stop();
    EXPECT_EQ(device->Requests("Finish"), 0u);
  }
}
