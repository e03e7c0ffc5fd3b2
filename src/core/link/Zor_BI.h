// TZorBaseInterface: the byte level of a device link. One buffer in which a
// request frame is built, one into which the reply frame is received, and typed
// operations that append values to the request and take values from the reply.
//
// Multi-byte values are least significant byte first; floats are IEEE 754
// single precision. Every index is bounds-checked: a store or read outside
// 0 ... 255 raises ERangeError before it touches anything.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "link/Zor_BD.h"

inline constexpr int kBufferSize = 256;

class TZorBaseInterface : public TZorBaseDevice {
public:
  using TZorBaseDevice::TZorBaseDevice;

  // True when the bytes 0 ... L-1 of InBuffer (L = InBuffer[0]) sum to 0
  // modulo 256; true for L = 0.
  virtual bool CheckReply();
  // Starts a request: WriteIndex := 1 (byte 0 is kept for the length).
  virtual void BeginFrame();
  // Writes the length byte and the checksum; leaves WriteIndex at the index of
  // the checksum (the frame length minus 1). Refuses frames over 255 bytes.
  virtual void EndFrame();

  virtual void PutOctet(uint8_t value) = 0;
  virtual void PutByte(uint8_t value);
  // Each byte goes through PutByte, so a range error on a later byte leaves
  // the earlier ones appended.
  virtual void PutWord(uint16_t value);
  virtual void PutLong(uint32_t value);
  virtual void PutFloat(float value);

  virtual uint8_t GetOctet() = 0;
  virtual uint8_t GetByte();
  // Read straight from InBuffer; ReadIndex moves only after all bytes were in
  // range.
  virtual uint16_t GetWord();
  virtual uint32_t GetLong();
  virtual float GetFloat();
  virtual std::string GetString();

  virtual void BeginCommand(uint8_t address, uint8_t command);
  virtual void Execute() = 0;
  virtual void SendCommand(uint8_t address, uint8_t command);
  virtual int QueryAddress();

  std::array<uint8_t, kBufferSize> OutBuffer{};
  std::array<uint8_t, kBufferSize> InBuffer{};
  int32_t WriteIndex = 0;
  int32_t ReadIndex = 0;

private:
  // The InBuffer index `offset` bytes past ReadIndex, range-checked.
  int CheckedReadIndex(int offset) const;
};
