// What the virtual device is told to be: its identity, the line, its faults
// and the fixture that boards come and go in.
//
// Frame numbers: every frame the device accepts (sums to 0, addressed to it or
// the address query, while a board is in and its bootloader answers) gets the
// next number, from 1, whether it is answered or not. The busy, damage and
// hang-up faults count these numbers. In a fixture every board counts its own
// frames from 1, and its Identify polls and command occurrences afresh, so
// each fault applies to every board alike; the random faults draw from one
// generator for the whole run.
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

// Close the pseudo-terminal while board Board (from 1) of a fixture is being
// loaded: once the reply to its frame Frame (from 1, its own numbering) has
// been taken, as DeviceOptions::HangupAfter does.
struct BoardHangup {
  uint32_t Board = 1;
  uint32_t Frame = 1;
};

// A test fixture: a board is in, then taken out (the line goes silent), then
// a new board with erased memory is put in, Boards times.
//
// A board in answers as the device does. Once the reply to its Finish has
// gone out (or Finish was carried out without a reply) it runs its program
// and answers nothing more, unless AnswersAfterFinish. It is taken out
// OutAfterMs after that; a board that gets no Finish (rejected, or its load
// failed) is taken out StayMs after its first Identify answer, so StayMs must
// be longer than a load takes. A board nobody talks to stays. While no board
// is in, nothing answers; the echo still returns every byte, as the two-wire
// line does without a board. The next board is put in GapMs after the last
// was taken out. A hang-up ends the fixture as it stands: the board in stays
// in and no board follows.
//
// The host sees a board gone once it has been silent for a while (its
// --gone, 1 s unless told): the silence after a rejected board is GapMs, after
// a loaded one OutAfterMs + GapMs, so the default gap is longer than 1 s.
struct FixtureOptions {
  // Boards that will have been in; 0: no fixture, the device is one board
  // that is always in and keeps answering after Finish.
  uint32_t Boards = 0;
  uint32_t FirstAfterMs = 0; // board 1 goes in this long after Start
  uint32_t OutAfterMs = 300;
  uint32_t StayMs = 3000;
  uint32_t GapMs = 1500;
  bool AnswersAfterFinish = false;
  // These boards report RejectedDeviceCode in their Identify reply, a code
  // that the host does not load.
  std::set<uint32_t> RejectedBoards;
  uint16_t RejectedDeviceCode = 0;
  std::optional<BoardHangup> Hangup;
  // Non-empty: board k's memory (as WriteMemory writes it) goes to
  // MemoryOut + "." + k when the board is taken out, and in Stop for a board
  // still in.
  std::string MemoryOut;
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

  FixtureOptions Fixture;
};

} // namespace sim
