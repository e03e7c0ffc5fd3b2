// The image reader and a whole load against a device that answers every
// request. Input:
//   bytes 0-1  the device code the device reports (low byte first)
//   byte 2     data byte 4 of its Identify reply
//   bytes 3-8  the reset vector it reports
//   byte 9     line mode (low 2 bits); the line echoes in line mode 2;
//              bit 2: the Identify reply is cut to (byte 9 >> 3) % 12 data bytes
//   rest       the image, at most 20 KB
// Checked: the image's layout against the file rules; the load sends exactly
// the pages that IsPageSent names, each block with the right 128 bytes and the
// reset vector in page 1, never the trailer, and ends Done or Rejected as the
// device and trailer rules say.
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "FuzzFakes.h"
#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "runtime/Exceptions.h"

namespace fs = std::filesystem;

namespace {

constexpr size_t kHeaderBytes = 10;
constexpr size_t kMaxImageBytes = 20 * 1024;

// Never destroyed: the exit handler that removes the folder still needs it.
const fs::path &ImagePath() {
  static const fs::path *const path = [] {
    std::string pattern =
        (fs::exists("/dev/shm") ? "/dev/shm" : fs::temp_directory_path().string()) +
        std::string("/korvalen-fuzz-image-XXXXXX");
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    std::atexit([] { fs::remove_all(ImagePath().parent_path()); });
    return new fs::path(fs::path(pattern) / "image.rom");
  }();
  return *path;
}

class SilentProgress : public ProgressView {
public:
  explicit SilentProgress(std::vector<int> &gauge) : Gauge(gauge) {}
  void ShowView() override {}
  void SetCancelVisible(bool) override {}
  void SetLabel(const std::string &) override {}
  void SetGaugeVisible(bool) override {}
  void SetGaugeValue(int percent) override {
    FUZZ_CHECK(percent >= 0 && percent <= 100);
    Gauge.push_back(percent);
  }
  bool IsCancelled() const override { return false; }

private:
  std::vector<int> &Gauge;
};

// What the device received, in order.
struct Received {
  int Identifies = 0, Finishes = 0;
  std::vector<std::pair<uint8_t, Bytes>> Blocks; // block index, 128 bytes
  std::vector<uint32_t> PageAddresses;
  std::vector<int> Order; // command codes
};

// The image's layout by the file rules, from the bytes alone.
void CheckLayout(const Bytes &bytes, const ResetVectorBytes &resetVector) {
  FirmwareImage image(bytes);
  const size_t size = bytes.size();
  FUZZ_CHECK(image.Size() == size);
  FUZZ_CHECK(image.PageCount() == static_cast<int>(size / 1536));
  FUZZ_CHECK(image.HasTrailer() == (size % 1536 == 3));
  FUZZ_CHECK(image.IgnoredBytes() + image.PageCount() * 1536 + (image.HasTrailer() ? 3 : 0) ==
             size);
  if (size >= 3) {
    const TrailerBytes trailer = image.Trailer();
    FUZZ_CHECK(std::equal(trailer.begin(), trailer.end(), bytes.end() - 3));
  }
  for (int p = 1; p <= image.PageCount(); ++p) {
    const auto page = image.Page(p);
    FUZZ_CHECK(std::equal(page.begin(), page.end(), bytes.begin() + (p - 1) * 1536));
    FUZZ_CHECK(FirmwareImage::IsPageSent(p) == (p == 1 || p >= 5));
    FUZZ_CHECK(FirmwareImage::PageAddress(p) == static_cast<uint32_t>(p - 1) * 1024);
  }
  image.OverwriteResetVector(resetVector);
  FUZZ_CHECK(image.Size() == std::max<size_t>(size, 6));
  FUZZ_CHECK(std::equal(resetVector.begin(), resetVector.end(), image.Data().begin()));
  FUZZ_CHECK(std::equal(bytes.begin() + std::min<size_t>(size, 6), bytes.end(),
                        image.Data().begin() + std::min<size_t>(size, 6)));
}

void Run(const uint8_t *data, size_t size) {
  if (size < kHeaderBytes)
    return;
  const uint16_t deviceCode = static_cast<uint16_t>(data[0] | data[1] << 8);
  const uint8_t data4 = data[2];
  ResetVectorBytes resetVector;
  std::copy(data + 3, data + 9, resetVector.begin());
  const uint8_t lineMode = data[9] & 3;
  const bool shortIdentify = (data[9] & 4) != 0;
  const size_t identifyBytes = shortIdentify ? (data[9] >> 3) % 12 : 12;
  const Bytes image(data + kHeaderBytes, data + std::min(size, kHeaderBytes + kMaxImageBytes));

  CheckLayout(image, resetVector);

  {
    std::ofstream out(ImagePath(), std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(image.data()),
              static_cast<std::streamsize>(image.size()));
    FUZZ_CHECK(out.good());
  }

  FakeClock clock;
  auto line = std::make_shared<FakeLine>();
  line->Clock = &clock;
  line->Echo = lineMode == 2;
  Received got;
  line->Device = [&](const Bytes &request) {
    // Every request is a well-formed frame to the bootloader.
    FUZZ_CHECK(request.size() >= 6 && request[0] == request.size());
    FUZZ_CHECK(ByteSum(request.data(), request.size()) % 256 == 0);
    FUZZ_CHECK(request[1] == kBootloaderAddress && request[2] == 1 && request[3] == 0);
    const uint8_t command = request[4];
    got.Order.push_back(command);
    Bytes reply;
    switch (command) {
    case kCommandIdentify:
      FUZZ_CHECK(request.size() == 6);
      ++got.Identifies;
      reply = {static_cast<uint8_t>(deviceCode),
               static_cast<uint8_t>(deviceCode >> 8),
               0x11,
               0x22,
               data4,
               0x33};
      reply.insert(reply.end(), resetVector.begin(), resetVector.end());
      reply.resize(identifyBytes);
      break;
    case kCommandWriteBlock:
      FUZZ_CHECK(request.size() == 6 + 1 + 128);
      got.Blocks.push_back({request[5], Bytes(request.begin() + 6, request.begin() + 134)});
      break;
    case kCommandWritePage:
      FUZZ_CHECK(request.size() == 6 + 3);
      got.PageAddresses.push_back(request[5] | request[6] << 8 | request[7] << 16);
      break;
    case kCommandFinish:
      FUZZ_CHECK(request.size() == 6);
      ++got.Finishes;
      break;
    default:
      FUZZ_CHECK(false);
    }
    return ReplyFrame(0x00, reply, kBootloaderAddress);
  };

  FuzzPresenter presenter;
  SetMessagePresenter(&presenter);
  std::vector<int> gauge;
  ResetVectorBytes reported{};
  LoadResult result;
  {
    TZor_RS link(nullptr, nullptr, SinglePortPlatform(line), &clock);
    link.OpenPort(1);
    link.SetLineMode(lineMode);
    LoadRequest request;
    request.FileName = ImagePath().string();
    request.CreateProgress = [&] { return std::make_unique<SilentProgress>(gauge); };
    request.ResetVector = &reported;
    result = RunLoadSequence(link, request);
    FUZZ_CHECK(link.ReplyTimeout == kFinishTimeoutMs || result.Outcome == LoadOutcome::Rejected);
  }
  SetMessagePresenter(nullptr);
  FUZZ_CHECK(line->ZeroWaits == 0); // a wait of nothing would spin

  // The outcome by the rules.
  const bool accepted = (deviceCode == 97 || deviceCode == 245) && (data4 >> 4) == 3;
  const bool hasTrailer = image.size() % 1536 == 3;
  const bool trailerFits =
      !hasTrailer || (image[image.size() - 3] == deviceCode && image[image.size() - 2] == 101);
  FUZZ_CHECK(got.Identifies == 1);
  // A reply too short to identify the device never passes for one.
  if (shortIdentify || !accepted || !trailerFits) {
    FUZZ_CHECK(result.Outcome == LoadOutcome::Rejected);
    FUZZ_CHECK(got.Order.size() == 1);
    FUZZ_CHECK(presenter.Errors.size() == 1 && presenter.Errors[0] == result.Message);
    const char *expected = shortIdentify || !accepted              ? SWrongMicrocontroller
                           : image[image.size() - 3] != deviceCode ? SDeviceCodeMismatch
                                                                   : SVersionMismatch;
    FUZZ_CHECK(result.Message == expected);
    return;
  }
  FUZZ_CHECK(result.Outcome == LoadOutcome::Done);
  FUZZ_CHECK(presenter.Errors.empty() && presenter.Infos.size() == 1);
  FUZZ_CHECK(reported == resetVector);

  // The image as the device must receive it: the reset vector over bytes 0 ... 5.
  Bytes expected = image;
  if (expected.size() < 6)
    expected.resize(6);
  std::copy(resetVector.begin(), resetVector.end(), expected.begin());
  const int pages = static_cast<int>(image.size() / 1536);
  size_t block = 0, page = 0;
  std::vector<int> order{kCommandIdentify};
  for (int p = 1; p <= pages; ++p) {
    if (!FirmwareImage::IsPageSent(p))
      continue;
    for (int b = 0; b < 12; ++b, ++block) {
      FUZZ_CHECK(block < got.Blocks.size());
      FUZZ_CHECK(got.Blocks[block].first == b);
      const auto start = expected.begin() + (p - 1) * 1536 + b * 128;
      FUZZ_CHECK(std::equal(start, start + 128, got.Blocks[block].second.begin()));
      order.push_back(kCommandWriteBlock);
    }
    FUZZ_CHECK(page < got.PageAddresses.size());
    FUZZ_CHECK(got.PageAddresses[page++] == static_cast<uint32_t>(p - 1) * 1024);
    order.push_back(kCommandWritePage);
  }
  order.push_back(kCommandFinish);
  // Nothing else went out: in particular no block beyond the whole pages.
  FUZZ_CHECK(got.Order == order);
  FUZZ_CHECK(block == got.Blocks.size() && page == got.PageAddresses.size());
  FUZZ_CHECK(gauge.size() == page);
  // The gauge moves after each page sent; pages 2 to 4 are never sent.
  if (pages == 1 || pages >= 5)
    FUZZ_CHECK(gauge.back() == 100);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  Run(data, size);
  return 0;
}
