// The request and reply buffers: byte order, bounds, length and checksum.
#include <gtest/gtest.h>

#include "link/Zor_BI.h"
#include "runtime/Exceptions.h"

namespace {
class Buffers : public TZorBaseInterface {
public:
  Buffers() : TZorBaseInterface(nullptr, nullptr) {}
  void PutOctet(uint8_t value) override { PutByte(value); }
  uint8_t GetOctet() override { return GetByte(); }
  void Execute() override {}
  void EnabledChanged() override { ++Changes; }
  int Changes = 0;
};

std::vector<uint8_t> Out(const Buffers &b, int from, int to) {
  return {b.OutBuffer.begin() + from, b.OutBuffer.begin() + to + 1};
}
} // namespace

TEST(FrameBuffer, ValuesGoInLeastSignificantByteFirst) {
  Buffers b;
  b.BeginFrame();
  b.PutByte(0xAB);
  b.PutWord(0x1234);
  b.PutLong(0x11223344);
  EXPECT_EQ(Out(b, 1, 7), (std::vector<uint8_t>{0xAB, 0x34, 0x12, 0x44, 0x33, 0x22, 0x11}));
  EXPECT_EQ(b.WriteIndex, 8);

  b.BeginFrame();
  b.PutFloat(1.0f);
  EXPECT_EQ(Out(b, 1, 4), (std::vector<uint8_t>{0x00, 0x00, 0x80, 0x3F}));
}

TEST(FrameBuffer, EndFrameWritesLengthAndChecksum) {
  Buffers b;
  b.BeginFrame();
  for (uint8_t v : {0xFB, 0x01, 0x00, 0x01})
    b.PutByte(v);
  b.EndFrame();
  EXPECT_EQ(Out(b, 0, 5), (std::vector<uint8_t>{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD}));
  EXPECT_EQ(b.WriteIndex, 5);
}

TEST(FrameBuffer, FramesLongerThan255BytesAreRefused) {
  Buffers b;
  b.WriteIndex = 254;
  b.EndFrame();
  EXPECT_EQ(b.OutBuffer[0], 255);

  b.OutBuffer.fill(0x5A);
  b.WriteIndex = 255;
  EXPECT_THROW(b.EndFrame(), ERangeError);
  EXPECT_EQ(b.OutBuffer[0], 0x5A) << "nothing is written on a refusal";
  EXPECT_EQ(b.OutBuffer[255], 0x5A);

  b.BeginFrame();
  for (int i = 1; i <= 255; ++i)
    b.PutByte(static_cast<uint8_t>(i));
  EXPECT_EQ(b.OutBuffer[255], 255);
  try {
    b.PutByte(0);
    FAIL() << "the 256th byte must be refused";
  } catch (const Exception &e) {
    EXPECT_STREQ(e.what(), "Range check error");
  }
  EXPECT_EQ(b.WriteIndex, 256);
  EXPECT_THROW(b.EndFrame(), ERangeError);
}

TEST(FrameBuffer, AWordThatDoesNotFitLeavesItsFirstByteAppended) {
  Buffers b;
  b.WriteIndex = 255;
  EXPECT_THROW(b.PutWord(0xBBAA), ERangeError);
  EXPECT_EQ(b.OutBuffer[255], 0xAA);
  EXPECT_EQ(b.WriteIndex, 256);
}

TEST(FrameBuffer, CheckReplyAcceptsOnlyFramesSummingToZero) {
  Buffers b;
  const std::vector<uint8_t> frame{0x06, 0xFB, 0x01, 0x00, 0x01, 0xFD};
  std::copy(frame.begin(), frame.end(), b.InBuffer.begin());
  EXPECT_TRUE(b.CheckReply());
  for (int i = 1; i <= 5; ++i) {
    Buffers damaged;
    std::copy(frame.begin(), frame.end(), damaged.InBuffer.begin());
    damaged.InBuffer[i] ^= 0x10;
    EXPECT_FALSE(damaged.CheckReply()) << "byte " << i;
  }
  Buffers empty;
  EXPECT_TRUE(empty.CheckReply()) << "a zero length sums nothing";
}

TEST(FrameBuffer, ReadsPastTheEndFailWithoutMovingTheIndex) {
  Buffers b;
  b.InBuffer[5] = 0x34;
  b.InBuffer[6] = 0x12;
  b.InBuffer[7] = 0x78;
  b.ReadIndex = 5;
  EXPECT_EQ(b.GetWord(), 0x1234);
  EXPECT_EQ(b.GetByte(), 0x78);
  EXPECT_EQ(b.ReadIndex, 8);

  b.ReadIndex = 255;
  EXPECT_THROW(b.GetWord(), ERangeError);
  EXPECT_EQ(b.ReadIndex, 255);
  b.ReadIndex = 253;
  EXPECT_THROW(b.GetLong(), ERangeError);
  EXPECT_EQ(b.ReadIndex, 253);
  b.ReadIndex = 256;
  EXPECT_THROW(b.GetByte(), ERangeError);
  b.ReadIndex = -1;
  EXPECT_THROW(b.GetByte(), ERangeError);
}

TEST(FrameBuffer, FloatsRoundTrip) {
  Buffers b;
  b.BeginFrame();
  b.PutFloat(-2.5f);
  std::copy(b.OutBuffer.begin(), b.OutBuffer.end(), b.InBuffer.begin());
  b.ReadIndex = 1;
  EXPECT_EQ(b.GetFloat(), -2.5f);
}

TEST(BaseDevice, MenusAndEnabledState) {
  Buffers noMenu;
  EXPECT_EQ(noMenu.AddMenuCommand("x", "(None)", 1, nullptr), nullptr);

  noMenu.Enable();
  noMenu.Disable();
  EXPECT_EQ(noMenu.Changes, 2);
  EXPECT_FALSE(noMenu.Enabled);

  TMenuItem primary, secondary;
  class WithMenus : public Buffers {
  public:
    WithMenus(TMenuItem *p, TMenuItem *s) {
      PrimaryMenu = p;
      SecondaryMenu = s;
      Caption = "RS232";
      ShowInPrimaryMenu = true;
      BuildMenus();
    }
  } device(&primary, &secondary);
  ASSERT_EQ(primary.Items().size(), 1u);
  EXPECT_EQ(primary.Items()[0]->Caption, "RS232");
  EXPECT_TRUE(secondary.Items().empty()) << "its flag is off";
  int clicks = 0;
  TMenuItem *command = device.AddMenuCommand("Номер СОМ-порта", "(None)", 10000, [&] { ++clicks; });
  ASSERT_NE(command, nullptr);
  EXPECT_EQ(command->ShortCut, 0);
  EXPECT_EQ(command->HelpContext, 10000);
  command->OnClick();
  EXPECT_EQ(clicks, 1);
  EXPECT_EQ(device.PrimaryMenuItem->Items().size(), 1u);
  EXPECT_EQ(TextToShortCut("Ctrl+S"), kShortCutCtrl | 'S');
  EXPECT_EQ(TextToShortCut("Shift+F5"), kShortCutShift | 0x74);
}
