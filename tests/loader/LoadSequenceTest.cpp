// The load sequence end to end: the link over a real pseudo-terminal to the
// virtual device, which records what arrived byte for byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sys/stat.h>

#include "RecordingPresenter.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"
#include "sim/VirtualDevice.h"

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

namespace {
// A progress view that records what the sequence showed and cancels when the
// test says so.
class RecordingProgress : public ProgressView {
public:
  struct Shared {
    std::vector<std::string> Labels;
    std::vector<int> Gauge;
    bool GaugeVisible = false;
    bool Shown = false, CancelVisible = false, Destroyed = false;
    bool Cancel = false;
    int CancelAfterChecks = -1; // set Cancel once IsCancelled was asked this often
    int Checks = 0;
  };
  explicit RecordingProgress(Shared &s) : FS(s) {}
  ~RecordingProgress() override { FS.Destroyed = true; }
  void ShowView() override { FS.Shown = true; }
  void SetCancelVisible(bool v) override { FS.CancelVisible = v; }
  void SetLabel(const std::string &t) override { FS.Labels.push_back(t); }
  void SetGaugeVisible(bool v) override { FS.GaugeVisible = v; }
  void SetGaugeValue(int p) override { FS.Gauge.push_back(p); }
  bool IsCancelled() const override {
    if (++FS.Checks == FS.CancelAfterChecks)
      FS.Cancel = true;
    return FS.Cancel;
  }

private:
  Shared &FS;
};

Bytes RandomBytes(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes bytes(size);
  for (auto &b : bytes)
    b = static_cast<uint8_t>(random());
  return bytes;
}

Bytes WithTrailer(size_t pages, uint8_t code, uint8_t mark, uint32_t seed = 7) {
  Bytes image = RandomBytes(pages * kPageSize, seed);
  image.insert(image.end(), {code, mark, 0x5A});
  return image;
}

Bytes Slice(const Bytes &image, int page) {
  return {image.begin() + (page - 1) * kPageSize, image.begin() + page * kPageSize};
}

class Load : public ::testing::Test {
protected:
  void SetUp() override {
    FFolder = fs::temp_directory_path() /
              ("korvalen-load-" + std::to_string(::getpid()) + "-" +
               std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(FFolder);
  }
  void TearDown() override {
    if (FDevice)
      FDevice->Stop();
    fs::remove_all(FFolder);
  }

  // Starts the device and a link to it in the given line mode.
  void Connect(sim::DeviceOptions options, uint8_t lineMode = 0) {
    options.Echo = lineMode == 2;
    FDevice = std::make_unique<sim::VirtualDevice>(options);
    FDevice->Start();
    FLink =
        std::make_unique<TZor_RS>(nullptr, nullptr, SerialPlatformForDevice(FDevice->SlavePath()));
    FLink->SetLineMode(lineMode);
    FLink->OpenPort(1);
    ASSERT_TRUE(FLink->IsOpen());
    FLink->SetBaudRate(19200);
  }

  std::string Write(const Bytes &image, const std::string &name = "image.rom") {
    const fs::path path = FFolder / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char *>(image.data()),
               static_cast<std::streamsize>(image.size()));
    return path.string();
  }

  LoadResult Run(const std::string &file) {
    LoadRequest request;
    request.FileName = file;
    request.ResetVector = &FResetVector;
    request.CreateProgress = [this] { return std::make_unique<RecordingProgress>(FProgress); };
    request.Observer = FObserver;
    return RunLoadSequence(*FLink, request);
  }

  // Requests the device received with this command code.
  std::vector<Bytes> RequestsOf(uint8_t command) {
    std::vector<Bytes> found;
    for (const Bytes &r : FDevice->Requests())
      if (r.size() > 4 && r[4] == command)
        found.push_back(r);
    return found;
  }

  fs::path FFolder;
  std::unique_ptr<sim::VirtualDevice> FDevice;
  std::unique_ptr<TZor_RS> FLink;
  RecordingPresenter FPresenter;
  RecordingProgress::Shared FProgress;
  ResetVectorBytes FResetVector{};
  LoadObserver FObserver;
};
} // namespace

TEST_F(Load, RequestsAreByteExactAndPagesTwoToFourAreSkipped) {
  sim::DeviceOptions options;
  Connect(options);
  Bytes image = RandomBytes(65 * kPageSize, 3);
  // Block 0 of page 5 all zero, to check the 135-byte frame.
  std::fill_n(image.begin() + 4 * kPageSize, kBlockSize, 0);
  const LoadResult result = Run(Write(image));
  ASSERT_EQ(result.Outcome, LoadOutcome::Done) << result.Message;

  const auto requests = FDevice->Requests();
  EXPECT_EQ(requests.front(), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD}));
  EXPECT_EQ(requests.back(), (Bytes{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8}));
  const auto pages = RequestsOf(kCommandWritePage);
  ASSERT_EQ(pages.size(), 62u);
  EXPECT_EQ(pages[0], (Bytes{0x09, 0xFB, 0x01, 0x00, 0x14, 0x00, 0x00, 0x00, 0xE7}));
  EXPECT_EQ(pages[1], (Bytes{0x09, 0xFB, 0x01, 0x00, 0x14, 0x00, 0x10, 0x00, 0xD7}));
  EXPECT_EQ(pages[60], (Bytes{0x09, 0xFB, 0x01, 0x00, 0x14, 0x00, 0xFC, 0x00, 0xEB}))
      << "page 64 at 00 FC 00";
  EXPECT_EQ(pages[61], (Bytes{0x09, 0xFB, 0x01, 0x00, 0x14, 0x00, 0x00, 0x01, 0xE6}));

  const auto blocks = RequestsOf(kCommandWriteBlock);
  ASSERT_EQ(blocks.size(), 62u * 12);
  Bytes zeroBlock{0x87, 0xFB, 0x01, 0x00, 0x0A, 0x00};
  zeroBlock.resize(134, 0);
  zeroBlock.push_back(0x73);
  EXPECT_EQ(blocks[12], zeroBlock);

  const auto memory = FDevice->Pages();
  EXPECT_EQ(memory.size(), 62u);
  EXPECT_FALSE(memory.count(0x400) || memory.count(0x800) || memory.count(0xC00));
  Bytes page1 = Slice(image, 1);
  std::copy(FResetVector.begin(), FResetVector.end(), page1.begin());
  EXPECT_EQ(memory.at(0), page1);
  EXPECT_EQ(FResetVector, options.ResetVector);
  for (int p = 5; p <= 65; ++p)
    ASSERT_EQ(memory.at(FirmwareImage::PageAddress(p)), Slice(image, p)) << "page " << p;
  EXPECT_EQ(FPresenter.Infos, std::vector<std::string>{"Загрузка окончена."});
  EXPECT_EQ(FLink->ReplyTimeout, 100);
}

TEST_F(Load, GaugeAndStagesForEightPages) {
  Connect({}, 2);
  const LoadResult result = Run(Write(RandomBytes(8 * kPageSize, 11)));
  ASSERT_EQ(result.Outcome, LoadOutcome::Done) << result.Message;
  EXPECT_EQ(FProgress.Gauge, (std::vector<int>{12, 62, 75, 88, 100}));
  EXPECT_EQ(FProgress.Labels,
            (std::vector<std::string>{"Включите МК...", "Определение типа микроконтроллера...",
                                      "Загрузка программы..."}));
  EXPECT_TRUE(FProgress.Shown && FProgress.CancelVisible && FProgress.GaugeVisible);
  EXPECT_TRUE(FProgress.Destroyed);
  const auto pages = RequestsOf(kCommandWritePage);
  ASSERT_EQ(pages.size(), 5u);
  const std::vector<uint8_t> expectedHigh{0x00, 0x10, 0x14, 0x18, 0x1C};
  for (size_t i = 0; i < pages.size(); ++i)
    EXPECT_EQ(pages[i][6], expectedHigh[i]);
  EXPECT_TRUE(FDevice->FinishReceived());
}

TEST_F(Load, DeviceChecks) {
  struct Case {
    uint16_t Code;
    uint8_t Byte4;
    bool Accepted;
  };
  for (const Case c : {Case{245, 0x3F, true}, Case{97, 0x30, true}, Case{245, 0x40, false},
                       Case{97, 0x2F, false}, Case{98, 0x30, false}}) {
    sim::DeviceOptions options;
    options.DeviceCode = c.Code;
    options.DataByte4 = c.Byte4;
    options.ResetVector = {c.Byte4, 0x11, 0x22, 0x33, 0x44, static_cast<uint8_t>(c.Code)};
    Connect(options);
    FPresenter.Errors.clear();
    std::optional<uint16_t> observed;
    FObserver.Identified = [&](const DeviceIdentity &identity) { observed = identity.DeviceCode; };
    const LoadResult result = Run(Write(RandomBytes(kPageSize, 1)));
    EXPECT_EQ(result.Outcome, c.Accepted ? LoadOutcome::Done : LoadOutcome::Rejected)
        << c.Code << " " << int{c.Byte4};
    EXPECT_EQ(observed, c.Code) << "the observer hears of the device, accepted or not";
    // Stored from the Identify reply before the device is tested, accepted or not.
    EXPECT_EQ(FResetVector, options.ResetVector) << c.Code << " " << int{c.Byte4};
    if (!c.Accepted) {
      EXPECT_EQ(FPresenter.Errors,
                std::vector<std::string>{"В устройстве неверный микроконтроллер."});
      EXPECT_EQ(FDevice->CommandCount(kCommandWriteBlock), 0u);
      EXPECT_FALSE(FDevice->FinishReceived());
    }
    FDevice->Stop();
  }
}

TEST_F(Load, TrailerChecks) {
  Connect({});
  EXPECT_EQ(Run(Write(WithTrailer(3, 0xF5, 0x65))).Message,
            "Тип микроконтроллера не совпадает с версией ПО.");
  EXPECT_EQ(Run(Write(WithTrailer(3, 0x61, 0x66))).Message,
            "Версии устройства и программного обеспечения не совпадают.");
  EXPECT_EQ(FDevice->CommandCount(kCommandWriteBlock), 0u);

  const Bytes image = WithTrailer(5, 0x61, 0x65);
  const LoadResult result = Run(Write(image));
  ASSERT_EQ(result.Outcome, LoadOutcome::Done);
  const auto memory = FDevice->Pages();
  EXPECT_EQ(memory.size(), 2u) << "pages 1 and 5; the trailer is never sent";
  EXPECT_EQ(memory.at(0x1000), Slice(image, 5));
}

TEST_F(Load, SmallImages) {
  Connect({});
  for (size_t size : {size_t{0}, size_t{3}, size_t{1000}, size_t{1538}}) {
    SCOPED_TRACE(size);
    Bytes image = RandomBytes(size, 5);
    if (size == 3)
      image = {0x61, 0x65, 0x00};
    const std::string file = Write(image, "small.rom");
    const uint32_t blocksBefore = FDevice->CommandCount(kCommandWriteBlock);
    const LoadResult result = Run(file);
    EXPECT_EQ(result.Outcome, LoadOutcome::Done);
    EXPECT_EQ(FDevice->CommandCount(kCommandWriteBlock) - blocksBefore, size == 1538 ? 12u : 0u);
    std::ifstream in(file, std::ios::binary);
    EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), image) << "the file is never written";
  }
  EXPECT_EQ(FDevice->CommandCount(kCommandFinish), 4u);
  Bytes page1 = Slice(RandomBytes(1538, 5), 1);
  std::copy(FResetVector.begin(), FResetVector.end(), page1.begin());
  EXPECT_EQ(FDevice->Pages().at(0), page1) << "the last 2 bytes of 1538 are ignored";
}

TEST_F(Load, AFailedWriteBlockStopsEverything) {
  sim::DeviceOptions options;
  // Frame 1 is Identify, page 1 takes frames 2 ... 14, page 5 block 7 is frame 22:
  // busy on all three attempts.
  options.BusyBurstStart = 22;
  options.BusyBurstLength = 3;
  Connect(options);
  bool windowOpenAtTheBox = false;
  FPresenter.OnShow = [&] { windowOpenAtTheBox = FProgress.Shown && !FProgress.Destroyed; };
  const LoadResult result = Run(Write(RandomBytes(8 * kPageSize, 9)));
  EXPECT_EQ(result.Outcome, LoadOutcome::Failed);
  EXPECT_EQ(FPresenter.Errors, std::vector<std::string>{SDeviceBusy});
  const auto blocks = RequestsOf(kCommandWriteBlock);
  ASSERT_EQ(blocks.size(), 12u + 8 + 2) << "blocks 0 ... 7 of page 5, block 7 three times";
  EXPECT_EQ(blocks.back()[5], 7);
  EXPECT_EQ(FDevice->CommandCount(kCommandWritePage), 1u);
  EXPECT_FALSE(FDevice->FinishReceived());
  EXPECT_TRUE(windowOpenAtTheBox) << "the box comes while the progress window is on screen";
  EXPECT_TRUE(FProgress.Destroyed);
}

TEST_F(Load, CancelWhileWaitingForTheDevice) {
  sim::DeviceOptions options;
  options.SilentPolls = 1000;
  Connect(options);
  FProgress.CancelAfterChecks = 2;
  const LoadResult result = Run(Write(RandomBytes(2 * kPageSize, 1)));
  EXPECT_EQ(result.Outcome, LoadOutcome::Cancelled);
  EXPECT_TRUE(FPresenter.Errors.empty() && FPresenter.Infos.empty());
  EXPECT_EQ(FDevice->CommandCount(kCommandIdentify), 6u) << "two polls of three attempts";
  EXPECT_EQ(FProgress.Labels, std::vector<std::string>{"Включите МК..."});
  EXPECT_FALSE(FProgress.GaugeVisible);
  EXPECT_FALSE(FDevice->FinishReceived());
  EXPECT_TRUE(FProgress.Destroyed);
}

TEST_F(Load, CancelDuringAPageEndsBeforeTheNext) {
  Connect({});
  FObserver.BeforeWriteBlock = [&](int page, int block) {
    if (page == 6 && block == 3)
      FProgress.Cancel = true;
  };
  const LoadResult result = Run(Write(RandomBytes(8 * kPageSize, 2)));
  EXPECT_EQ(result.Outcome, LoadOutcome::Cancelled);
  const auto memory = FDevice->Pages();
  EXPECT_EQ(memory.size(), 3u) << "pages 1, 5 and the whole of 6";
  EXPECT_TRUE(memory.count(0x1400));
  EXPECT_FALSE(FDevice->FinishReceived());
  EXPECT_TRUE(FPresenter.Infos.empty() && FPresenter.Errors.empty());
}

TEST_F(Load, CancelDuringTheLastPageStillFinishes) {
  Connect({});
  FObserver.BeforeWriteBlock = [&](int page, int) {
    if (page == 8)
      FProgress.Cancel = true;
  };
  EXPECT_EQ(Run(Write(RandomBytes(8 * kPageSize, 2))).Outcome, LoadOutcome::Done);
  EXPECT_TRUE(FDevice->FinishReceived());
  EXPECT_EQ(FPresenter.Infos, std::vector<std::string>{"Загрузка окончена."});
}

TEST_F(Load, ASilentFinishIsStillDone) {
  sim::DeviceOptions options;
  options.NoReply = sim::NoReplyFault{kCommandFinish, 0};
  Connect(options);
  EXPECT_EQ(Run(Write(RandomBytes(kPageSize, 2))).Outcome, LoadOutcome::Done);
  EXPECT_EQ(FDevice->CommandCount(kCommandFinish), 3u);
  EXPECT_EQ(FPresenter.Infos, std::vector<std::string>{"Загрузка окончена."});
}

TEST_F(Load, AFinishAnsweredWithItsOwnBytesIsSentOnce) {
  // The device answers with the command code as its status: its reply to
  // Finish, 06 FB 01 00 06 F8, is the request itself, after the line's echo
  // of it. Sent again, it would reach a device already running its program.
  sim::DeviceOptions options;
  options.StatusIsCommandCode = true;
  options.PaceBaud = 19200;
  Connect(options, 2);
  const Bytes image = RandomBytes(kPageSize, 5);
  const LoadResult result = Run(Write(image));
  ASSERT_EQ(result.Outcome, LoadOutcome::Done) << result.Message;
  EXPECT_EQ(RequestsOf(kCommandFinish),
            std::vector<Bytes>{(Bytes{0x06, 0xFB, 0x01, 0x00, 0x06, 0xF8})});
  EXPECT_EQ(FDevice->CommandCount(kCommandWriteBlock), 12u) << "every block sent once";
  Bytes page1 = image;
  std::copy(FResetVector.begin(), FResetVector.end(), page1.begin());
  EXPECT_EQ(FDevice->Pages().at(0), page1);
}

TEST_F(Load, MemoryIsExactThroughDamagedAndBusyReplies) {
  sim::DeviceOptions options;
  // Never three faulty frames in a row, so every exchange gets through on
  // one of its attempts, whatever retries the timing adds.
  options.DamageFrames = {3, 9, 10, 20, 41, 42, 70};
  options.BusyFrames = {5, 12, 30, 31, 55};
  Connect(options, 2);
  const Bytes image = WithTrailer(10, 97, 0x65, 77);
  const std::string file = Write(image);
  const LoadResult result = Run(file);
  std::string log;
  for (const auto &record : FDevice->Log())
    log += record.Note + "\n";
  ASSERT_EQ(result.Outcome, LoadOutcome::Done) << result.Message << "\n" << log;
  const auto memory = FDevice->Pages();
  ASSERT_EQ(memory.size(), 7u);
  Bytes page1 = Slice(image, 1);
  std::copy(FResetVector.begin(), FResetVector.end(), page1.begin());
  EXPECT_EQ(memory.at(0), page1);
  for (int p = 5; p <= 10; ++p)
    EXPECT_EQ(memory.at(FirmwareImage::PageAddress(p)), Slice(image, p));
  EXPECT_EQ(FDevice->IncompletePages(), 0u);
  std::ifstream in(file, std::ios::binary);
  EXPECT_EQ(Bytes(std::istreambuf_iterator<char>(in), {}), image);
  EXPECT_NE(log.find("checksum damaged"), std::string::npos) << "the run met damaged replies";
  EXPECT_NE(log.find("busy"), std::string::npos) << "and busy ones";
}

TEST_F(Load, NothingHappensWithoutAFileAndAMissingFileIsSaid) {
  Connect({});
  EXPECT_EQ(Run("").Outcome, LoadOutcome::NoFile);
  EXPECT_FALSE(FProgress.Shown);
  // Nothing there, a folder, links that lead back to themselves: no file.
  fs::create_directory(FFolder / "folder.rom");
  fs::create_symlink(FFolder / "loop.rom", FFolder / "loop.rom");
  for (const char *name : {"missing.rom", "folder.rom", "loop.rom"}) {
    SCOPED_TRACE(name);
    FPresenter.Errors.clear();
    EXPECT_EQ(Run((FFolder / name).string()).Outcome, LoadOutcome::FileNotFound);
    EXPECT_EQ(FPresenter.Errors, std::vector<std::string>{"Файл не найден"});
  }
  EXPECT_FALSE(FProgress.Shown);
  EXPECT_TRUE(FDevice->Requests().empty());
}

TEST_F(Load, WhatCannotBeAnImageIsRefusedBeforeAnythingIsSent) {
  Connect({});
  // A FIFO would block the open for ever; /dev/zero would be read until the
  // memory runs out.
  const fs::path fifo = FFolder / "fifo.rom";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const fs::path &path : {fifo, fs::path("/dev/zero")}) {
    SCOPED_TRACE(path.string());
    try {
      Run(path.string());
      ADD_FAILURE() << "read as an image";
    } catch (const EInOutError &failure) {
      EXPECT_NE(std::string(failure.what()).find(path.string()), std::string::npos)
          << failure.what();
    }
  }
  // One page past the 24-bit address space: page 16385 would be written at
  // address 0, over page 1. Sparse, so it costs no disk.
  const fs::path large = FFolder / "large.rom";
  std::ofstream(large, std::ios::binary).close();
  fs::resize_file(large, (kMaxPages + 1) * kPageSize);
  EXPECT_THROW(Run(large.string()), EImageTooLarge);
  EXPECT_FALSE(FProgress.Shown);
  EXPECT_TRUE(FDevice->Requests().empty());
}

TEST_F(Load, TheResultCountsThePagesAndSaysWhetherFinishWasConfirmed) {
  sim::DeviceOptions options;
  options.NoReply = sim::NoReplyFault{kCommandFinish, 0};
  Connect(options);
  int finishes = 0;
  FObserver.BeforeFinish = [&] {
    ++finishes;
    EXPECT_EQ(FDevice->CommandCount(kCommandFinish), 0u);
  };
  LoadResult result = Run(Write(RandomBytes(6 * kPageSize, 2)));
  EXPECT_EQ(result.Outcome, LoadOutcome::Done);
  EXPECT_EQ(result.PagesSent, 3);
  EXPECT_FALSE(result.FinishConfirmed);
  EXPECT_EQ(finishes, 1);
  FDevice->Stop();

  Connect({});
  result = Run(Write(RandomBytes(1000, 2)));
  EXPECT_EQ(result.Outcome, LoadOutcome::Done);
  EXPECT_EQ(result.PagesSent, 0);
  EXPECT_TRUE(result.FinishConfirmed);
}

TEST_F(Load, TheLinkCountsWhatTheDeviceDid) {
  sim::DeviceOptions options;
  options.SilentPolls = 4;
  options.DamageFrames = {6, 15};
  options.BusyFrames = {8, 22, 23};
  Connect(options, 2);
  int pollsFailed = 0;
  FObserver.PollFailed = [&] { ++pollsFailed; };
  const LoadResult result = Run(Write(RandomBytes(6 * kPageSize, 5)));
  ASSERT_EQ(result.Outcome, LoadOutcome::Done) << result.Message;

  // What the device saw and did, from its own records.
  uint64_t busy = 0, damaged = 0, replyBytes = 0, requestBytes = 0;
  for (const auto &record : FDevice->Log()) {
    if (record.FromHost) {
      busy += record.Note.find(", busy") != std::string::npos;
    } else {
      damaged += record.Note.find("checksum damaged") != std::string::npos;
      replyBytes += record.Bytes.size();
    }
  }
  const auto requests = FDevice->Requests();
  for (const Bytes &request : requests)
    requestBytes += request.size();
  ASSERT_EQ(busy, 3u);
  ASSERT_EQ(damaged, 2u);

  const LinkStatistics &s = FLink->Statistics;
  EXPECT_EQ(s.Exchanges, 2u + 3 * 13 + 1) << "two polls, pages 1, 5 and 6, Finish";
  EXPECT_EQ(s.Attempts, requests.size());
  EXPECT_EQ(s.Failed(AttemptFailure::NoReply), 4u) << "the silent polls";
  EXPECT_EQ(s.Failed(AttemptFailure::Checksum), damaged);
  EXPECT_EQ(s.Failed(AttemptFailure::Busy), busy);
  EXPECT_EQ(s.FailedAttemptsTotal(), 4 + damaged + busy);
  EXPECT_EQ(s.FailedExchanges, 1u) << "the first poll";
  EXPECT_EQ(s.BytesSent, requestBytes);
  EXPECT_EQ(s.BytesReceived, requestBytes + replyBytes) << "every echo and every reply";
  EXPECT_EQ(pollsFailed, 1) << "the second poll got through on its second attempt";
}
