// What the virtual device is told to be: its identity, the line and its
// faults.
//
// Frame numbers: every frame the device accepts (sums to 0, addressed to it or
// the address query) gets the next number, from 1, whether it is answered or
// not. The busy, damage and hang-up faults count these numbers.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace sim {

// No reply to one command code: to every occurrence (Occurrence 0) or only to
// Count occurrences from its Occurrence-th on (counted from 1). The request is
// carried out; only its reply is withheld (a lost reply, or a bootloader that
// leaves after Finish).
struct NoReplyFault {
  uint8_t Command = 0;
  uint32_t Occurrence = 0;
  uint32_t Count = 1;
};

struct DeviceOptions {
  // Identify reply data: device code (2 bytes, low first), bytes 2 to 5, and
  // the six reset-vector bytes.
  uint16_t DeviceCode = 97;
  uint8_t DataByte2 = 0;
  uint8_t DataByte3 = 0;
  uint8_t DataByte4 = 0x30;
  uint8_t DataByte5 = 0;
  // GOTO 0x000200, NOP: easy to spot in a dump.
  std::array<uint8_t, 6> ResetVector = {0x04, 0x02, 0x00, 0x00, 0x00, 0x00};

  // Answer a request carried out with its command code as the status byte,
  // not 0, as some bootloaders do. A command without parameters is then
  // answered with a frame equal to its request: Finish 06 FB 01 00 06 F8.
  bool StatusIsCommandCode = false;

  // Return every received byte to the host before the reply (the two-wire
  // RS-485 line returns the sender's own bytes).
  bool Echo = true;
  // Bits per second for the wire model; 0 sends at once. A byte takes 11 bits
  // (start, 8 data, 2 stop): byte k (from 0) of a request written at once
  // counts as arrived 11*(k+1)/B after it was read, its echo goes back as it
  // arrives, and the reply starts after the last byte has arrived (plus
  // WriteDelayMs), its byte j arriving 11*(j+1)/B after that. Deadlines are
  // absolute, so the pace does not drift, and the device thread sleeps with
  // no timer slack, so it adds no delay of its own.
  uint32_t PaceBaud = 0;
  // Extra time the device takes before answering WritePage.
  uint32_t WriteDelayMs = 0;
  // The host's side seen through a USB serial adapter that holds what it
  // receives: the bytes the device sends (its echo too) reach the host in
  // packets of up to kAdapterPacketBytes, each handed over when full or
  // AdapterLatencyMs after its first byte came off the line, as the common
  // adapter chips do with their latency timer (16 ms unless the driver asks
  // for low latency). 0: every byte reaches the host as it arrives.
  uint32_t AdapterLatencyMs = 0;

  // A symbolic link to the slave side, made by Start and removed by Stop.
  // An old link there is replaced when it is dangling or leads to a
  // pseudo-terminal; Start refuses any other file. Empty: none.
  std::string LinkPath;
  // The frame log; empty: none.
  std::string LogPath;

  // Faults. Frame numbers as in the header comment. A busy frame is not
  // carried out; a damaged reply is (only its checksum is off by one).
  std::set<uint32_t> BusyFrames;   // answer these frames with status 0xFF
  double BusyRate = 0.0;           // probability of a busy reply per frame
  uint32_t BusyBurstStart = 0;     // frames BusyBurstStart ... +BusyBurstLength-1
  uint32_t BusyBurstLength = 0;    // are busy; length 0: no burst
  std::set<uint32_t> DamageFrames; // reply checksum off by one for these frames
  double DamageRate = 0.0;         // probability of a damaged reply per frame
  uint32_t SilentPolls = 0;        // the first N Identify requests get no reply
  std::optional<NoReplyFault> NoReply;
  // Close the pseudo-terminal (an unplugged adapter) once the reply to frame N
  // has gone out and the host has read it (seen as its queue emptying, or as
  // the host sending again, whose bytes are then not taken), or 1 s after it
  // went out if the host does not read; 0: at once in Start.
  std::optional<uint32_t> HangupAfter;
  // Seeds the one generator behind every random fault, so runs repeat.
  uint32_t Seed = 1;
};

} // namespace sim
