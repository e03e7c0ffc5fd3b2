// The image layout, and an Identify reply too short to identify anything.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "RecordingPresenter.h"
#include "link/FakeSerial.h"
#include "link/Zor_RS232.h"
#include "loader/FirmwareImage.h"
#include "loader/LoadSequence.h"

TEST(Image, SizeDecidesPagesTrailerAndRemainder) {
  struct Case {
    size_t Size;
    int Pages;
    bool Trailer;
    size_t Ignored;
  };
  for (const Case c : {Case{0, 0, false, 0}, Case{3, 0, true, 0}, Case{1535, 0, false, 1535},
                       Case{1536, 1, false, 0}, Case{1538, 1, false, 2}, Case{1539, 1, true, 0},
                       Case{4 * 1536 + 3, 4, true, 0}, Case{5 * 1536 + 4, 5, false, 4}}) {
    const FirmwareImage image(std::vector<uint8_t>(c.Size, 0xAA));
    EXPECT_EQ(image.PageCount(), c.Pages) << c.Size;
    EXPECT_EQ(image.HasTrailer(), c.Trailer) << c.Size;
    EXPECT_EQ(image.IgnoredBytes(), c.Ignored) << c.Size;
  }
  EXPECT_FALSE(FirmwareImage::IsPageSent(2) || FirmwareImage::IsPageSent(3) ||
               FirmwareImage::IsPageSent(4));
  EXPECT_TRUE(FirmwareImage::IsPageSent(1) && FirmwareImage::IsPageSent(5));
  EXPECT_EQ(FirmwareImage::PageAddress(65), 0x10000u);
}

TEST(Image, TheResetVectorReplacesTheFirstSixBytesAndGrowsAShortImage) {
  FirmwareImage image(std::vector<uint8_t>{1, 2, 3});
  image.OverwriteResetVector({9, 8, 7, 6, 5, 4});
  EXPECT_EQ(image.Data(), (std::vector<uint8_t>{9, 8, 7, 6, 5, 4}));
  FirmwareImage longer(std::vector<uint8_t>(10, 0));
  longer.OverwriteResetVector({1, 1, 1, 1, 1, 1});
  EXPECT_EQ(longer.Size(), 10u);
  EXPECT_EQ(longer.Data()[6], 0);
}

TEST(Image, TheLargestImageFillsTheAddressSpaceAndOnePageMoreIsRefused) {
  const std::filesystem::path file = ::testing::TempDir() + "largest.rom";
  std::ofstream(file, std::ios::binary).close();
  // Sparse: no disk is used for the pages.
  std::filesystem::resize_file(file, kMaxPages * kPageSize + 3);
  const FirmwareImage largest = FirmwareImage::ReadFile(file);
  EXPECT_EQ(largest.PageCount(), 16384);
  EXPECT_TRUE(largest.HasTrailer());
  EXPECT_EQ(FirmwareImage::PageAddress(largest.PageCount()), 0xFFFC00u);
  std::filesystem::resize_file(file, (kMaxPages + 1) * kPageSize - 1);
  EXPECT_EQ(FirmwareImage::ReadFile(file).PageCount(), 16384) << "a remainder is no page";
  std::filesystem::resize_file(file, (kMaxPages + 1) * kPageSize);
  try {
    FirmwareImage::ReadFile(file);
    ADD_FAILURE() << "16385 pages read";
  } catch (const EImageTooLarge &failure) {
    EXPECT_NE(std::string(failure.what()).find("16385"), std::string::npos) << failure.what();
  }
  std::filesystem::remove(file);
}

TEST(Image, GaugeRoundsHalvesToEven) {
  EXPECT_EQ(GaugePercent(1, 8), 12);
  EXPECT_EQ(GaugePercent(7, 8), 88);
  EXPECT_EQ(GaugePercent(5, 8), 62);
  EXPECT_EQ(GaugePercent(3, 3), 100);
}

TEST(ShortIdentifyReply, IsRejectedWithoutTakingStaleBytes) {
  FakeClock clock;
  auto line = std::make_shared<FakeLine>();
  line->Clock = &clock;
  line->Echo = true;
  auto platform = std::make_shared<FakePlatform>();
  platform->Lines[1] = line;
  RecordingPresenter presenter;
  TZor_RS link(nullptr, nullptr, platform, &clock);
  link.SetLineMode(2);
  link.OpenPort(1);
  // A device that answers Identify with only 4 data bytes: the rest of the
  // buffer still holds the echo of the request.
  line->Device = [](const Bytes &) { return ReplyFrame(0, {0x61, 0x00, 0x00, 0x00}); };
  const std::string file = ::testing::TempDir() + "short-reply.rom";
  std::vector<uint8_t> image(2 * 1536, 0x11);
  FILE *out = std::fopen(file.c_str(), "wb");
  std::fwrite(image.data(), 1, image.size(), out);
  std::fclose(out);

  struct NullView : ProgressView {
    void ShowView() override {}
    void SetCancelVisible(bool) override {}
    void SetLabel(const std::string &) override {}
    void SetGaugeVisible(bool) override {}
    void SetGaugeValue(int) override {}
    bool IsCancelled() const override { return false; }
  };
  ResetVectorBytes resetVector{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
  LoadRequest request;
  request.FileName = file;
  request.ResetVector = &resetVector;
  request.CreateProgress = [] { return std::make_unique<NullView>(); };
  const LoadResult result = RunLoadSequence(link, request);
  EXPECT_EQ(result.Outcome, LoadOutcome::Rejected);
  EXPECT_EQ(presenter.Errors, std::vector<std::string>{"В устройстве неверный микроконтроллер."});
  EXPECT_EQ(line->Writes.size(), 1u) << "nothing but the Identify";
  EXPECT_EQ(resetVector[0], 0xEE) << "no stale bytes taken as the reset vector";
  std::remove(file.c_str());
}
