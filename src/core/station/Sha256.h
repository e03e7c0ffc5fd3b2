// SHA-256 (FIPS 180-4), for the digest of the image each journal record names.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
  Sha256();
  // Adds `count` bytes; may be called any number of times.
  void Update(const uint8_t *data, size_t count);
  // The digest of everything added, as 64 lower-case hex digits. The object
  // is spent afterwards.
  std::string HexDigest();

private:
  void Block(const uint8_t *block);

  std::array<uint32_t, 8> FState;
  std::array<uint8_t, 64> FBuffer{};
  size_t FBuffered = 0;
  uint64_t FBytes = 0;
};

// The digest of `count` bytes at once.
std::string Sha256Hex(const uint8_t *data, size_t count);
