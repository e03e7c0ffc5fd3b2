// Stations of a line on one PostgreSQL server of the test's own: korvalen-cli
// load --repeat --serial over korvalen-sim fixtures, the server stopped in
// the middle, then killed at random moments with the stations. Every record
// a station told arrives in the server, once; every number once, none
// skipped but the void ones; every board holds its own.
#include "cli/GangFixture.h"
#include "cli/SerialChecks.h"
#include "station_pg/PgServer.h"

#include "runtime/HostName.h"
#include "station/SpooledJournal.h"
#include "station/pg/PgJournal.h"

namespace {
using namespace gang;

// In page 1, past the reset vector: every load takes its number early.
const SerialLayout kLayout{0x0100, 4, SerialFormat::LittleEndian, 1, 1};
constexpr int kBoards = 500;

class ServerStations : public GangFixture {
protected:
  void SetUp() override {
    KORVALEN_NEEDS_POSTGRESQL();
    GangFixture::SetUp();
    FServer = std::make_unique<pgtest::PgServer>();
    FJournal = FServer->NewDatabase("line");
    // A board a killed station left half loaded stays long enough for the
    // next station, which first connects to the server, to load it whole:
    // one that left in the middle of a load would hand its last pages to the
    // next board.
    for (int n = 1; n <= 8; ++n)
      StartDevice(n,
                  {"--boards", std::to_string(kBoards), "--gap", "600", "--out-after", "50",
                   "--stay", "6000"},
                  true);
    FImage = Image(5);
  }
  void TearDown() override {
    FServer.reset();
    GangFixture::TearDown();
  }

  // A station of four fixtures; its events and messages in files of its own.
  std::unique_ptr<Child> StartStation(const std::string &ports) {
    Options options =
        WithFiles({"load", "--ports", ports, "--repeat", "--gone", "0.3", "--json", "--journal",
                   FJournal, "--serial", "0x0100", "--baud", "115200", FImage});
    options.Out = Stream::ToFile(Output("out", ports).string());
    options.Err = Stream::ToFile(Output("err", ports).string());
    return std::make_unique<Child>(FProgram, options);
  }
  fs::path Output(const std::string &kind, const std::string &ports) const {
    return FFolder / (kind + ports + ".txt");
  }
  // The ids of the records whose end the station told (whole lines only: a
  // kill may cut the last one).
  void Told(const std::string &ports, std::set<std::string> &ids) const {
    std::istringstream out(Slurp(Output("out", ports)));
    for (std::string line; std::getline(out, line);) {
      const gang::Json event = gang::Json::parse(line, nullptr, false);
      if (event.is_object() && event.contains("record"))
        ids.insert(event.at("record").get<std::string>());
    }
  }
  // The spool the stations of this machine share (beside their settings),
  // sent in full, as the next start would; then what the server holds,
  // after voiding what the kills left without an end.
  JournalContents Settled() {
    SpooledJournal spool(std::make_unique<PgJournal>(FJournal), FFolder / "journal-spool.jsonl",
                         nullptr);
    EXPECT_TRUE(spool.Send()) << "the spool could not be sent";
    EXPECT_EQ(fs::file_size(FFolder / "journal-spool.jsonl"), 0u) << "the spool was not emptied";
    spool.VoidAbandoned(HostName());
    return spool.Read();
  }

  std::unique_ptr<pgtest::PgServer> FServer;
  std::string FJournal;
  std::string FImage;
};
} // namespace

// Two stations of four fixtures each on one server; the server stopped for
// 10 s in the middle and started again. The ports with --serial wait for it
// and say so, the loads under way finish into the spool, and at the end
// every record told is in the server, once, and the numbers are sound.
TEST_F(ServerStations, TwoStationsGoOnThroughTenSecondsWithoutTheServer) {
  std::vector<std::unique_ptr<Child>> stations;
  for (const std::string ports : {"1-4", "5-8"})
    stations.push_back(StartStation(ports));
  std::this_thread::sleep_for(8s);
  FServer->Stop();
  std::this_thread::sleep_for(10s);
  FServer->Start();
  std::this_thread::sleep_for(8s);
  for (auto &station : stations)
    station->Signal(SIGINT);
  for (auto &station : stations)
    EXPECT_TRUE(station->Wait(60s).has_value()) << "a station hung";

  std::set<std::string> told;
  for (const std::string ports : {"1-4", "5-8"}) {
    SCOPED_TRACE(ports);
    Told(ports, told);
    const std::string err = Slurp(Output("err", ports));
    EXPECT_TRUE(Has(err, "cannot take records now")) << err;
    EXPECT_TRUE(Has(err, "takes records again")) << err;
    EXPECT_TRUE(Has(err, "Serial numbers need the journal's server")) << err;
    const std::string out = Slurp(Output("out", ports));
    EXPECT_TRUE(Has(out, "\"state\":\"away\"") && Has(out, "\"state\":\"back\"")) << out;
  }
  const JournalContents contents = Settled();
  std::set<std::string> held;
  for (const LoadRecord &record : contents.Loads)
    held.insert(record.Id);
  EXPECT_GT(told.size(), 20u) << "the stations barely worked";
  for (const std::string &id : told)
    EXPECT_EQ(held.count(id), 1u) << "told, but not in the server: " << id;
  EXPECT_EQ(held.size(), told.size()) << "the server holds loads no station told";
  ExpectSerialsSound(contents, FDevices, kLayout, 20, kBoards);
}

// The stations killed with kill -9 at random moments, the server too in
// every other round (before or after them), and all started again: nothing a
// station told is lost, no number is handed out twice or skipped.
TEST_F(ServerStations, KillsOfStationsAndServerLoseNothingAndRepeatNoNumber) {
  std::mt19937 random(20261211);
  std::uniform_int_distribution<int> moment(300, 2500);
  std::set<std::string> told;
  const int rounds = kAddressSanitizer ? 6 : 16;
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE(round);
    if (!FServer->Running())
      FServer->Start();
    std::vector<std::unique_ptr<Child>> stations;
    for (const std::string ports : {"1-4", "5-8"})
      stations.push_back(StartStation(ports));
    const bool killServer = round % 2 == 1;
    const bool serverFirst = random() % 2 == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    if (killServer && serverFirst) {
      FServer->Kill();
      std::this_thread::sleep_for(std::chrono::milliseconds(moment(random)));
    }
    EXPECT_TRUE(KillStations(stations)) << "a port held on to its device";
    if (killServer && !serverFirst)
      FServer->Kill();
    for (const std::string ports : {"1-4", "5-8"})
      Told(ports, told);
  }
  if (!FServer->Running())
    FServer->Start();
  const JournalContents contents = Settled();
  std::set<std::string> held;
  for (const LoadRecord &record : contents.Loads)
    held.insert(record.Id);
  EXPECT_GT(told.size(), size_t{kAddressSanitizer ? 2u : 10u})
      << "the stations barely worked between the kills";
  for (const std::string &id : told)
    EXPECT_EQ(held.count(id), 1u) << "told, but not in the server: " << id;
  ExpectSerialsSound(contents, FDevices, kLayout, kAddressSanitizer ? 2u : 10u, kBoards);
}

// A report waits for its server as long as its queries take (a table locked
// here holds it); Ctrl-C ends it at once, as cancelled.
TEST(ServerReport, CtrlCEndsAReportThatWaitsForItsServer) {
  KORVALEN_NEEDS_POSTGRESQL();
  pgtest::PgServer server;
  const std::string journal = server.NewDatabase("line");
  PgJournal(journal).CheckWritable();
  PgConnection holder(journal, nullptr);
  holder.Exec("BEGIN; LOCK TABLE korvalen.loads IN ACCESS EXCLUSIVE MODE");
  Options options;
  options.Args = {"report", "--journal", journal};
  Child report(KORVALEN_CLI_PROGRAM, options);
  std::this_thread::sleep_for(1s);
  ASSERT_TRUE(report.Running()) << "the report did not wait for the lock";
  report.Signal(SIGINT);
  EXPECT_EQ(report.Wait(5s), std::optional<int>(3));
}
