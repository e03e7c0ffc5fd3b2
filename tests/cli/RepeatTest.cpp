// Repeat mode as a production line runs it: fixtures of korvalen-sim that put
// board after board in and take them out again, korvalen-cli load --repeat
// over them, its journal read back, its events and its terminal lines.
#include "cli/GangFixture.h"
#include "cli/SerialChecks.h"

#include <pty.h>
#include <set>

#include "runtime/HostName.h"
#include "station/FileJournal.h"
#include "station/SerialNumber.h"
#include "station/Sha256.h"

namespace {
using namespace gang;

class Repeat : public GangFixture {
protected:
  // A fixture whose boards come and go faster than a person's, slower than
  // --gone; `changes` gives other values (an option and its value, or a flag).
  Sim &StartFixture(int number, const std::map<std::string, std::string> &changes = {}) {
    std::map<std::string, std::string> options = {
        {"--boards", "3"}, {"--gap", "1300"}, {"--stay", "2500"}, {"--out-after", "150"}};
    for (const auto &[option, value] : changes)
      options[option] = value;
    std::vector<std::string> args;
    for (const auto &[option, value] : options) {
      args.push_back(option);
      if (!value.empty())
        args.push_back(value);
    }
    return StartDevice(number, args, true);
  }
  fs::path JournalPath() const { return FFolder / "journal.jsonl"; }
  JournalContents Journal() const { return FileJournal(JournalPath()).Read(); }
  std::string ImageDigest() const {
    const std::string file = Slurp(FFolder / "image.rom");
    return Sha256Hex(reinterpret_cast<const uint8_t *>(file.data()), file.size());
  }
};

// How many records each port has of each outcome: "COM2 done" -> 2.
std::map<std::string, int> Outcomes(const JournalContents &contents) {
  std::map<std::string, int> counts;
  for (const LoadRecord &record : contents.Loads)
    ++counts[record.Port + " " + record.Outcome];
  return counts;
}
} // namespace

// Four fixtures at once: a plain one, one with a rejected board, one whose
// adapter is pulled during its second board, one whose boards go on
// answering after Finish. Every port goes its own way; each board is loaded
// once, recorded once, and its end is told only once the journal holds it.
TEST_F(Repeat, FourFixturesBoardAfterBoardEachRecordedOnce) {
  StartFixture(1);
  StartFixture(2, {{"--reject-board", "2"}});
  StartFixture(3, {{"--hangup-board", "2:5"}});
  Sim &lingering = StartFixture(4, {{"--answers-after-finish", ""}, {"--out-after", "1500"}});
  const std::string image = Image(6);
  // 3 + 2 + 1 + 3 boards can be done: then the session ends.
  const Ran run =
      RunCli(WithFiles({"load", "--ports", "1-4", "--repeat", "--count", "9", "--json", "--journal",
                        JournalPath().string(), "--baud", "115200", image}),
             120s);
  ASSERT_TRUE(run.Code) << "the session hung:\n" << run.Err;
  EXPECT_EQ(*run.Code, 2) << "the pulled adapter's link failure is the highest code\n" << run.Err;

  const JournalContents journal = Journal();
  EXPECT_TRUE(journal.DamagedLines.empty());
  EXPECT_EQ(Outcomes(journal), (std::map<std::string, int>{{"COM1 done", 3},
                                                           {"COM2 done", 2},
                                                           {"COM2 rejected", 1},
                                                           {"COM3 done", 1},
                                                           {"COM3 failed", 1},
                                                           {"COM4 done", 3}}));
  std::set<std::string> ids;
  for (const LoadRecord &record : journal.Loads) {
    ids.insert(record.Id);
    EXPECT_EQ(record.ImageSha256, ImageDigest());
    EXPECT_EQ(record.ImageBytes, FImageBytes.size() + 3);
    EXPECT_EQ(record.Station.empty(), false);
  }
  EXPECT_EQ(ids.size(), journal.Loads.size());

  // Every end that was told names a record the journal holds.
  const auto ports = ByPort(Events(run.Out));
  for (const auto &[port, events] : ports) {
    SCOPED_TRACE(port);
    int ends = 0;
    for (const gang::Json &event : events) {
      const std::string name = event.at("event");
      if (name != "done" && name != "failed" && name != "cancelled")
        continue;
      ++ends;
      ASSERT_TRUE(event.contains("record")) << event.dump();
      EXPECT_EQ(ids.count(event.at("record").get<std::string>()), 1u) << event.dump();
    }
    EXPECT_EQ(events.back().at("event"), "session");
    if (!port.empty()) {
      EXPECT_EQ(ends, events.back().at("boards").get<int>());
    }
  }
  ASSERT_TRUE(ports.count(""));
  EXPECT_EQ(ports.at("").back().at("done"), 9);
  EXPECT_EQ(ports.at("COM3").back().at("ended_by"), "hung_up");

  // Each board holds the image, loaded once; the rejected one holds nothing.
  for (size_t device = 0; device < FDevices.size(); ++device) {
    FDevices[device]->Stop();
    for (int board = 1; board <= 3; ++board) {
      SCOPED_TRACE("COM" + std::to_string(device + 1) + " board " + std::to_string(board));
      if (device == 1 && board == 2) {
        EXPECT_TRUE(FDevices[device]->MemoryBytes(board).empty());
      } else if (device != 2 || board == 1) {
        EXPECT_EQ(FDevices[device]->MemoryBytes(board), Loaded());
      }
    }
  }
  EXPECT_EQ(lingering.Requests("WritePage"), 3u * 3)
      << "a board that kept answering was loaded again";
}

// Ctrl-C: a port waiting for its next board ends at once, without a record;
// one in the middle of a load finishes its page and records it cancelled.
TEST_F(Repeat, CtrlCEndsAWaitingPortWithoutARecordAndALoadAsCancelled) {
  StartFixture(1, {{"--gap", "20000"}});
  Child waiting(FProgram, WithFiles({"load", "--port", "1", "--repeat", "--json", "--journal",
                                     JournalPath().string(), "--baud", "115200", Image(6)}));
  ASSERT_TRUE(WaitUntil([&] { return Has(Slurp(FFolder / "out.txt"), "\"gone\""); }, 30s));
  waiting.Signal(SIGINT);
  EXPECT_EQ(waiting.Wait(20s), std::optional<int>(0));
  EXPECT_EQ(Outcomes(Journal()), (std::map<std::string, int>{{"COM1 done", 1}}));
  const auto events = ByPort(Events(Slurp(FFolder / "out.txt")));
  EXPECT_EQ(events.at("COM1").back().at("ended_by"), "stopped");
  FDevices.clear();
  fs::remove(FFolder / "ports" / "COM1");

  StartFixture(1, {{"--pace-baud", "9600"}});
  Child loading(FProgram, WithFiles({"load", "--port", "1", "--repeat", "--json", "--journal",
                                     JournalPath().string(), "--baud", "9600", Image(6)}));
  ASSERT_TRUE(WaitUntil([&] { return Has(Slurp(FFolder / "out.txt"), "\"page\""); }, 30s));
  loading.Signal(SIGINT);
  EXPECT_EQ(loading.Wait(30s), std::optional<int>(3));
  EXPECT_EQ(Outcomes(Journal()),
            (std::map<std::string, int>{{"COM1 done", 1}, {"COM1 cancelled", 1}}));
}

// On a terminal: a line per port with its counts, redrawn in place, and the
// total below.
TEST_F(Repeat, OnATerminalEachPortHasALineWithItsCountsAndATotalFollows) {
  StartFixture(1, {{"--boards", "2"}});
  StartFixture(2, {{"--boards", "2"}});
  int master = -1, slave = -1;
  ASSERT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
  Options options = WithFiles(
      {"load", "--ports", "1-2", "--repeat", "--count", "4", "--baud", "115200", Image(6)});
  options.Err = Stream::ToDescriptor(slave);
  Child child(FProgram, options);
  close(slave);
  const std::string screen = ReadTerminal(master, child);
  close(master);
  EXPECT_EQ(child.Wait(60s), std::optional<int>(0));
  EXPECT_TRUE(Has(screen, "COM1  done 2  failed 0  rejected 0  ·  ")) << screen;
  EXPECT_TRUE(Has(screen, "all   done 4  failed 0  rejected 0")) << screen;
  EXPECT_TRUE(Has(screen, "] 100% Загрузка программы...") || Has(screen, "take the board out"))
      << screen;
  EXPECT_TRUE(Has(screen, "\x1b[3A")) << "the three lines are redrawn in place";
}

// A journal that cannot be written stops the work before any port is opened.
TEST_F(Repeat, AJournalThatCannotBeWrittenStartsNoLoad) {
  Sim &device = StartFixture(1);
  const Ran run = RunCli({"load", "--port", "1", "--repeat", "--journal",
                          (FFolder / "no-such-folder" / "journal.jsonl").string(), Image(6)});
  EXPECT_EQ(run.Code, std::optional<int>(74)) << run.Err;
  EXPECT_TRUE(Has(run.Err, "no-such-folder/journal.jsonl cannot be opened for writing")) << run.Err;
  device.Stop();
  EXPECT_EQ(device.Requests("Identify"), 0u);
}

// A station killed at random moments (kill -9 of the gang and of every port's
// korvalen-cli at once), twenty times over and restarted each time: every
// line of the journal but torn ones parses, no end that was told is missing
// from it, and the report counts the torn lines.
TEST_F(Repeat, KilledAtRandomMomentsItLosesNoRecordItHadTold) {
  const std::map<std::string, std::string> quick = {
      {"--boards", "500"}, {"--gap", "700"}, {"--out-after", "50"}, {"--stay", "1500"}};
  StartFixture(1, quick);
  StartFixture(2, quick);
  const std::string image = Image(5);
  std::mt19937 random(20261209);
  std::uniform_int_distribution<int> moment(200, 2500);
  std::set<std::string> told;
  for (int round = 0; round < (kAddressSanitizer ? 8 : 20); ++round) {
    Child gang(FProgram,
               WithFiles({"load", "--ports", "1-2", "--repeat", "--gone", "0.4", "--json",
                          "--journal", JournalPath().string(), "--baud", "115200", image}));
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    // The gang first: killed ports first, a gang that ran in between would
    // end by itself with their failure.
    const std::vector<pid_t> ports = ChildrenOf(gang.Id());
    gang.Signal(SIGKILL);
    for (pid_t port : ports)
      kill(port, SIGKILL);
    EXPECT_EQ(gang.Wait(10s), std::optional<int>(128 + SIGKILL))
        << "the station ended before its kill:\n"
        << Slurp(FFolder / "err.txt");
    // The next round's ports open the same devices: these must have let go.
    EXPECT_TRUE(WaitUntil([&] {
      return std::all_of(ports.begin(), ports.end(), [](pid_t port) { return Ended(port); });
    }));
    // The last line may be cut off by the kill: only whole lines were told.
    std::istringstream out(Slurp(FFolder / "out.txt"));
    for (std::string line; std::getline(out, line);) {
      const gang::Json event = gang::Json::parse(line, nullptr, false);
      if (event.is_object() && event.contains("record"))
        told.insert(event.at("record").get<std::string>());
    }
  }
  const JournalContents journal = Journal();
  std::set<std::string> held;
  for (const LoadRecord &record : journal.Loads)
    held.insert(record.Id);
  EXPECT_GT(told.size(), size_t{kAddressSanitizer ? 1u : 5u})
      << "the station barely worked between the kills";
  for (const std::string &id : told)
    EXPECT_EQ(held.count(id), 1u) << "told, but not in the journal: " << id;

  // Every line is a record or counted as damaged, and the report says so.
  size_t lines = 0;
  std::istringstream text(Slurp(JournalPath()));
  for (std::string line; std::getline(text, line);)
    lines += line.empty() ? 0 : 1;
  EXPECT_EQ(lines, journal.Loads.size() + journal.DamagedLines.size());
  const Ran report = RunCli({"report", JournalPath().string(), "--json"});
  ASSERT_EQ(report.Code, std::optional<int>(0)) << report.Err;
  const gang::Json total = Events(report.Out).back();
  EXPECT_EQ(total.at("damaged_lines").get<size_t>(), journal.DamagedLines.size());
  EXPECT_EQ(total.at("loads").get<size_t>(), journal.Loads.size());
}

// Eight fixtures in repeat mode with --serial, the station killed with kill -9
// at random moments thirty times and restarted; then the same with two
// stations of four ports on one journal at once. No two boards hold the same
// number; every done load's number is in its board; every number handed out
// is in a done record or void; none is skipped.
TEST_F(Repeat, SerialNumbersSurviveKillsAndTwoStationsOnOneJournal) {
  struct Variant {
    std::vector<std::string> Stations; // each station's --ports
    int Rounds;
  };
  // Its fixtures' clocks (a board out 1.5 s after its first answer) are made
  // for programs at their speed; under AddressSanitizer every one of the
  // sixteen runs several times slower, and boards leave in the middle of
  // their loads. The other repeat tests run the same code there.
  if (kAddressSanitizer)
    GTEST_SKIP() << "the fixtures' clocks need the programs at their own speed";
  const std::vector<Variant> variants = {{{"1-8"}, 30}, {{"1-4", "5-8"}, 8}};
  const std::string image = Image(5);
  // In page 1, past the reset vector: every load takes its number early.
  const SerialLayout layout{0x0100, 4, SerialFormat::LittleEndian, 1, 1};
  std::mt19937 random(20261210);
  std::uniform_int_distribution<int> moment(300, 2000);
  for (const Variant &variant : variants) {
    SCOPED_TRACE(variant.Stations.size());
    FDevices.clear();
    for (int n = 1; n <= 8; ++n)
      fs::remove(FFolder / "ports" / ("COM" + std::to_string(n)));
    fs::remove(JournalPath());
    for (int n = 1; n <= 8; ++n)
      StartFixture(
          n, {{"--boards", "500"}, {"--gap", "600"}, {"--out-after", "50"}, {"--stay", "1500"}});
    for (int round = 0; round < variant.Rounds; ++round) {
      std::vector<std::unique_ptr<Child>> stations;
      for (const std::string &ports : variant.Stations) {
        Options options =
            WithFiles({"load", "--ports", ports, "--repeat", "--gone", "0.3", "--journal",
                       JournalPath().string(), "--serial", "0x0100", "--baud", "115200", image});
        options.Out = Stream::ToFile((FFolder / ("out" + ports + ".txt")).string());
        options.Err = Stream::ToFile((FFolder / ("err" + ports + ".txt")).string());
        stations.push_back(std::make_unique<Child>(FProgram, options));
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
      ASSERT_TRUE(KillStations(stations)) << "a port held on to its device";
    }
    // What the kills left without an end is void from the next start on.
    FileJournal journal(JournalPath());
    journal.VoidAbandoned(HostName());
    const JournalContents contents = journal.Read();
    ExpectSerialsSound(contents, FDevices, layout, 10u, 500);
  }
}
