#include "link/Zor_BI.h"

#include <bit>

#include "runtime/Exceptions.h"

namespace {
bool InBuffer(int64_t index) {
  return index >= 0 && index < kBufferSize;
}
} // namespace

bool TZorBaseInterface::CheckReply() {
  const int length = InBuffer[0];
  unsigned sum = 0;
  for (int i = 0; i < length; ++i)
    sum += InBuffer[i];
  return sum % 256 == 0;
}

void TZorBaseInterface::BeginFrame() {
  WriteIndex = 1;
}

void TZorBaseInterface::EndFrame() {
  if (WriteIndex + 1 > 255 || WriteIndex < 0)
    throw ERangeError();
  OutBuffer[0] = static_cast<uint8_t>(WriteIndex + 1);
  unsigned sum = 0;
  for (int i = 0; i < WriteIndex; ++i)
    sum += OutBuffer[i];
  OutBuffer[WriteIndex] = static_cast<uint8_t>((256 - sum % 256) % 256);
}

void TZorBaseInterface::PutByte(uint8_t value) {
  if (!::InBuffer(WriteIndex))
    throw ERangeError();
  OutBuffer[WriteIndex] = value;
  ++WriteIndex;
}

void TZorBaseInterface::PutWord(uint16_t value) {
  PutByte(static_cast<uint8_t>(value));
  PutByte(static_cast<uint8_t>(value >> 8));
}

void TZorBaseInterface::PutLong(uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8)
    PutByte(static_cast<uint8_t>(value >> shift));
}

void TZorBaseInterface::PutFloat(float value) {
  PutLong(std::bit_cast<uint32_t>(value));
}

uint8_t TZorBaseInterface::GetByte() {
  if (!::InBuffer(ReadIndex))
    throw ERangeError();
  return InBuffer[ReadIndex++];
}

int TZorBaseInterface::CheckedReadIndex(int offset) const {
  const int64_t index = int64_t{ReadIndex} + offset;
  if (!::InBuffer(index))
    throw ERangeError();
  return static_cast<int>(index);
}

uint16_t TZorBaseInterface::GetWord() {
  const uint16_t value =
      static_cast<uint16_t>(InBuffer[CheckedReadIndex(0)] | InBuffer[CheckedReadIndex(1)] << 8);
  ReadIndex += 2;
  return value;
}

uint32_t TZorBaseInterface::GetLong() {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value |= uint32_t{InBuffer[CheckedReadIndex(i)]} << (8 * i);
  ReadIndex += 4;
  return value;
}

float TZorBaseInterface::GetFloat() {
  return std::bit_cast<float>(GetLong());
}

std::string TZorBaseInterface::GetString() {
  return {};
}

void TZorBaseInterface::BeginCommand(uint8_t, uint8_t) {}

void TZorBaseInterface::SendCommand(uint8_t, uint8_t) {}

int TZorBaseInterface::QueryAddress() {
  return 0;
}
