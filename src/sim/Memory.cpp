#include "sim/Memory.h"

#include "sim/Framing.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

namespace sim {

std::vector<uint8_t> FlatImage(const PageMap &pages) {
  std::vector<uint8_t> image;
  if (pages.empty()) {
    return image;
  }
  const size_t highestPage = pages.rbegin()->first / kPageAddressStep + 1;
  image.assign(highestPage * kPageBytes, kErased);
  for (const auto &[address, bytes] : pages) {
    std::copy(bytes.begin(), bytes.end(),
              image.begin() + (address / kPageAddressStep) * kPageBytes);
  }
  return image;
}

void WriteMemoryFile(const std::string &path, const std::vector<uint8_t> &image) {
  std::FILE *file = std::fopen(path.c_str(), "wbe");
  // An empty memory is an empty file; fwrite must not see a null buffer.
  const bool written =
      file && (image.empty() || std::fwrite(image.data(), 1, image.size(), file) == image.size());
  if (!file || std::fclose(file) != 0 || !written) {
    throw std::runtime_error("cannot write the memory file " + path);
  }
}

ProgramMemory::ProgramMemory() {
  FPageBuffer.fill(kErased);
}

uint8_t ProgramMemory::WriteBlock(const std::vector<uint8_t> &payload, std::string &note) {
  if (payload.size() != 1 + kBlockBytes) {
    note += ", refused: payload of " + std::to_string(payload.size()) + " bytes";
    return kStatusRefused;
  }
  const uint8_t index = payload[0];
  if (index >= kBlocksPerPage) {
    note += ", refused: block index " + std::to_string(index);
    return kStatusRefused;
  }
  if (FPageCommitted) {
    // A new page begins: missing blocks of it show as erased memory.
    FPageBuffer.fill(kErased);
    FBlockArrived.fill(false);
    FPageCommitted = false;
  }
  std::copy(payload.begin() + 1, payload.end(), FPageBuffer.begin() + index * kBlockBytes);
  FBlockArrived[index] = true;
  note += ", block " + std::to_string(index);
  return kStatusOk;
}

uint8_t ProgramMemory::WritePage(const std::vector<uint8_t> &payload, std::string &note) {
  if (payload.size() != 3) {
    note += ", refused: payload of " + std::to_string(payload.size()) + " bytes";
    return kStatusRefused;
  }
  const uint32_t address = payload[0] | (payload[1] << 8) | (payload[2] << 16);
  if (address % kPageAddressStep != 0) {
    note += ", refused: address " + std::to_string(address) + " off a page boundary";
    return kStatusRefused;
  }
  note += ", page " + std::to_string(address / kPageAddressStep + 1);
  if (!std::all_of(FBlockArrived.begin(), FBlockArrived.end(), [](bool b) { return b; })) {
    ++FIncompletePages;
    note += ", blocks missing";
  }
  FPages[address].assign(FPageBuffer.begin(), FPageBuffer.end());
  // The buffer stays until the next WriteBlock: a WritePage sent again
  // because its reply was lost writes the same page again, as the host's
  // retry means it to.
  FPageCommitted = true;
  return kStatusOk;
}

} // namespace sim
