// The device's program memory: the block buffer that WriteBlock fills and the
// pages that WritePage commits, and the memory file.
//
// WriteBlock carries a block index (0 to 11) and 128 bytes; WritePage carries
// a 24-bit address, low byte first, that must be a multiple of 1024 (page p
// at (p-1)*1024) and commits the buffer's 1536 bytes there. The first
// WriteBlock after a WritePage begins a new page: blocks that do not arrive
// show as erased memory (FF).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace sim {

constexpr size_t kPageBytes = 1536;
constexpr size_t kBlockBytes = 128;
constexpr size_t kBlocksPerPage = 12;
constexpr uint32_t kPageAddressStep = 1024;
constexpr uint8_t kErased = 0xFF;

// Page address -> its 1536 bytes.
using PageMap = std::map<uint32_t, std::vector<uint8_t>>;

// The flat image: page p at bytes (p-1)*1536 ... p*1536-1, as long as the
// highest page, bytes of pages not written FF. Empty for no pages.
std::vector<uint8_t> FlatImage(const PageMap &pages);
// Writes `image` to `path` (an empty image is an empty file); throws
// std::runtime_error on failure.
void WriteMemoryFile(const std::string &path, const std::vector<uint8_t> &image);

// One board's memory, erased at first. Not thread-safe: its owner guards it.
class ProgramMemory {
public:
  ProgramMemory();

  // Each carries out its request given the parameters between the command
  // byte and the checksum: it answers kStatusOk or kStatusRefused and appends
  // to `note` what the frame log says of it.
  uint8_t WriteBlock(const std::vector<uint8_t> &payload, std::string &note);
  uint8_t WritePage(const std::vector<uint8_t> &payload, std::string &note);

  // Exactly the pages that WritePage committed.
  const PageMap &Pages() const { return FPages; }
  // WritePage commands that committed a page whose 12 blocks had not all
  // arrived since the page began.
  uint32_t IncompletePages() const { return FIncompletePages; }

private:
  std::array<uint8_t, kPageBytes> FPageBuffer{};
  std::array<bool, kBlocksPerPage> FBlockArrived{};
  bool FPageCommitted = false; // WritePage since the last WriteBlock
  PageMap FPages;
  uint32_t FIncompletePages = 0;
};

} // namespace sim
