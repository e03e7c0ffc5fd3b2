// korvalen-sim: the virtual device as a program. Prints the slave path of its
// pseudo-terminal on the first line of stdout, serves until SIGINT/SIGTERM (or
// until Finish with --exit-after-finish, or until a fixture's boards have all
// come and gone with --exit-when-empty), then writes what it received.
#include "sim/VirtualDevice.h"

#include "runtime/StandardDescriptors.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

constexpr int kExitUsage = 64; // EX_USAGE
constexpr int kExitFailure = 1;
// Time for the host to take the reply to Finish before the line goes away.
constexpr std::chrono::milliseconds kFinishGrace{200};

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

uint32_t ParseNumber(const std::string &text, const std::string &what, uint32_t max) {
  size_t used = 0;
  unsigned long value = 0;
  try {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    value = std::stoul(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
    used += hex ? 2 : 0;
  } catch (const std::exception &) {
    used = 0;
  }
  if (text.empty() || used != text.size() || text[0] == '-' || text[0] == '+' || value > max) {
    throw UsageError(what + ": '" + text + "' is not a number from 0 to " + std::to_string(max));
  }
  return static_cast<uint32_t>(value);
}

uint8_t ParseHexByte(const std::string &text, const std::string &what) {
  std::string digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
  }
  if (digits.empty() || digits.size() > 2 ||
      digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw UsageError(what + ": '" + text + "' is not a hexadecimal byte (00 to FF)");
  }
  return static_cast<uint8_t>(std::stoul(digits, nullptr, 16));
}

std::array<uint8_t, 6> ParseResetVector(const std::string &text) {
  if (text.size() != 12 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
    throw UsageError("--reset-vector: '" + text + "' must be exactly 12 hexadecimal digits");
  }
  std::array<uint8_t, 6> bytes{};
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(std::stoul(text.substr(2 * i, 2), nullptr, 16));
  }
  return bytes;
}

std::set<uint32_t> ParseList(const std::string &text, const std::string &what) {
  std::set<uint32_t> numbers;
  size_t start = 0;
  while (start <= text.size()) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) {
      comma = text.size();
    }
    numbers.insert(ParseNumber(text.substr(start, comma - start), what, UINT32_MAX));
    start = comma + 1;
  }
  return numbers;
}

std::pair<std::string, std::string> SplitColon(const std::string &text) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos) {
    return {text, ""};
  }
  return {text.substr(0, colon), text.substr(colon + 1)};
}

double ParseRate(const std::string &text, const std::string &what) {
  size_t used = 0;
  double value = -1.0;
  try {
    value = std::stod(text, &used);
  } catch (const std::exception &) {
    used = 0;
  }
  if (used != text.size() || !(value >= 0.0 && value <= 1.0)) {
    throw UsageError(what + ": '" + text + "' is not a probability from 0 to 1");
  }
  return value;
}

struct Arguments {
  std::string Link, Log, MemoryOut;
  std::string DeviceCode = "97", Byte2 = "00", Byte3 = "00", Byte4 = "30", Byte5 = "00";
  std::string ResetVector, Echo = "on", PaceBaud = "0", WriteDelayMs = "0", AdapterLatency = "0";
  std::string BusyFrames, BusyRate, BusyBurst, DamageRate, DamageFrames;
  std::string SilentPolls, NoReplyCommand, HangupAfter, Seed = "1";
  bool ExitAfterFinish = false;
  bool StatusIsCommandCode = false;
  // The fixture.
  std::string Boards, FirstAfter = "0", OutAfter = "300", Stay = "3000", Gap = "1500";
  std::string RejectBoards, HangupBoard;
  bool AnswersAfterFinish = false;
  bool ExitWhenEmpty = false;
};

constexpr uint32_t kMaxBoards = 100'000;
constexpr uint32_t kMaxPauseMs = 3'600'000;

sim::FixtureOptions ToFixture(const Arguments &a, CLI::App &app) {
  sim::FixtureOptions f;
  if (a.Boards.empty()) {
    for (const char *option : {"--first-after", "--out-after", "--stay", "--gap", "--reject-board",
                               "--hangup-board", "--answers-after-finish", "--exit-when-empty"}) {
      if (app.count(option) != 0) {
        throw UsageError(std::string(option) + " needs --boards");
      }
    }
    return f;
  }
  if (a.ExitAfterFinish) {
    throw UsageError("--exit-after-finish: with --boards, use --exit-when-empty");
  }
  f.Boards = ParseNumber(a.Boards, "--boards", kMaxBoards);
  if (f.Boards == 0) {
    throw UsageError("--boards: at least 1");
  }
  f.FirstAfterMs = ParseNumber(a.FirstAfter, "--first-after", kMaxPauseMs);
  f.OutAfterMs = ParseNumber(a.OutAfter, "--out-after", kMaxPauseMs);
  f.StayMs = ParseNumber(a.Stay, "--stay", kMaxPauseMs);
  f.GapMs = ParseNumber(a.Gap, "--gap", kMaxPauseMs);
  f.AnswersAfterFinish = a.AnswersAfterFinish;
  if (!a.RejectBoards.empty()) {
    f.RejectedBoards = ParseList(a.RejectBoards, "--reject-board");
    if (*f.RejectedBoards.begin() == 0 || *f.RejectedBoards.rbegin() > f.Boards) {
      throw UsageError("--reject-board: boards count from 1 to --boards");
    }
  }
  if (!a.HangupBoard.empty()) {
    auto [board, frame] = SplitColon(a.HangupBoard);
    sim::BoardHangup hangup;
    hangup.Board = ParseNumber(board, "--hangup-board K", f.Boards);
    hangup.Frame = ParseNumber(frame, "--hangup-board F", UINT32_MAX);
    if (hangup.Board == 0 || hangup.Frame == 0) {
      throw UsageError("--hangup-board: K and F count from 1");
    }
    f.Hangup = hangup;
  }
  f.MemoryOut = a.MemoryOut;
  return f;
}

sim::DeviceOptions ToOptions(const Arguments &a, CLI::App &app) {
  sim::DeviceOptions o;
  o.LinkPath = a.Link;
  o.LogPath = a.Log;
  o.DeviceCode = static_cast<uint16_t>(ParseNumber(a.DeviceCode, "--device-code", 0xFFFF));
  o.DataByte2 = ParseHexByte(a.Byte2, "--byte2");
  o.DataByte3 = ParseHexByte(a.Byte3, "--byte3");
  o.DataByte4 = ParseHexByte(a.Byte4, "--byte4");
  o.DataByte5 = ParseHexByte(a.Byte5, "--byte5");
  if (!a.ResetVector.empty()) {
    o.ResetVector = ParseResetVector(a.ResetVector);
  }
  if (a.Echo != "on" && a.Echo != "off") {
    throw UsageError("--echo: '" + a.Echo + "' is neither on nor off");
  }
  o.Echo = a.Echo == "on";
  o.StatusIsCommandCode = a.StatusIsCommandCode;
  o.PaceBaud = ParseNumber(a.PaceBaud, "--pace-baud", 10'000'000);
  o.WriteDelayMs = ParseNumber(a.WriteDelayMs, "--write-delay-ms", 3'600'000);
  o.AdapterLatencyMs = ParseNumber(a.AdapterLatency, "--adapter-latency-ms", 255);
  if (!a.BusyFrames.empty()) {
    o.BusyFrames = ParseList(a.BusyFrames, "--busy-frames");
  }
  if (!a.BusyRate.empty()) {
    o.BusyRate = ParseRate(a.BusyRate, "--busy-rate");
  }
  if (!a.BusyBurst.empty()) {
    auto [start, length] = SplitColon(a.BusyBurst);
    o.BusyBurstStart = ParseNumber(start, "--busy-burst K", UINT32_MAX);
    o.BusyBurstLength = ParseNumber(length, "--busy-burst N", UINT32_MAX);
  }
  if (!a.DamageRate.empty()) {
    o.DamageRate = ParseRate(a.DamageRate, "--damage-rate");
  }
  if (!a.DamageFrames.empty()) {
    o.DamageFrames = ParseList(a.DamageFrames, "--damage-frames");
  }
  if (!a.SilentPolls.empty()) {
    o.SilentPolls = ParseNumber(a.SilentPolls, "--silent-polls", UINT32_MAX);
  }
  if (!a.NoReplyCommand.empty()) {
    auto [command, occurrence] = SplitColon(a.NoReplyCommand);
    sim::NoReplyFault fault;
    fault.Command = static_cast<uint8_t>(ParseNumber(command, "--no-reply-command C", 255));
    if (a.NoReplyCommand.find(':') != std::string::npos) {
      auto [first, count] = SplitColon(occurrence);
      fault.Occurrence = ParseNumber(first, "--no-reply-command K", UINT32_MAX);
      if (fault.Occurrence == 0) {
        throw UsageError("--no-reply-command: K counts from 1");
      }
      if (occurrence.find(':') != std::string::npos) {
        fault.Count = ParseNumber(count, "--no-reply-command N", UINT32_MAX);
        if (fault.Count == 0) {
          throw UsageError("--no-reply-command: N is at least 1");
        }
      }
    }
    o.NoReply = fault;
  }
  if (!a.HangupAfter.empty()) {
    o.HangupAfter = ParseNumber(a.HangupAfter, "--hangup-after", UINT32_MAX);
  }
  o.Seed = ParseNumber(a.Seed, "--seed", UINT32_MAX);
  o.Fixture = ToFixture(a, app);
  return o;
}

} // namespace

int main(int argc, char **argv) {
  // Before the pseudo-terminal exists: opened as descriptor 1, it would take
  // the line that names it, and the host would read that as device bytes.
  if (!OpenStandardDescriptors()) {
    return kExitFailure;
  }
  CLI::App app{"korvalen-sim: a virtual bootloader device on a pseudo-terminal.\n"
               "Prints the path of the host's side on the first line of stdout and serves\n"
               "until SIGINT or SIGTERM. Frames are numbered from 1 in order of arrival,\n"
               "counting every frame the device accepts (right checksum, its address or the\n"
               "address query), answered or not.\n"
               "With --boards N it is a test fixture: a board is in, is taken out (the line\n"
               "goes silent), and a new board with erased memory is put in, N times. Each\n"
               "board numbers its frames from 1 and counts its Identify polls and command\n"
               "occurrences afresh, so every fault applies to each board alike.",
               "korvalen-sim"};
  Arguments a;
  app.add_option("--link", a.Link,
                 "Make a symbolic link PATH to the pseudo-terminal (e.g. ports/COM3); an "
                 "old link there is replaced; removed on exit")
      ->type_name("PATH");
  app.add_option("--device-code", a.DeviceCode,
                 "Device code in the Identify reply, decimal or 0x-hex (default 97)")
      ->type_name("N");
  app.add_option("--byte2", a.Byte2, "Identify data byte 2, hex (default 00)")->type_name("HEX");
  app.add_option("--byte3", a.Byte3, "Identify data byte 3, hex (default 00)")->type_name("HEX");
  app.add_option("--byte4", a.Byte4, "Identify data byte 4, hex (default 30)")->type_name("HEX");
  app.add_option("--byte5", a.Byte5, "Identify data byte 5, hex (default 00)")->type_name("HEX");
  app.add_option("--reset-vector", a.ResetVector,
                 "The six reset-vector bytes of the Identify reply as exactly 12 hex digits "
                 "(default 040200000000)")
      ->type_name("12HEX");
  app.add_option("--echo", a.Echo,
                 "on|off: return every received byte before the reply, as the two-wire line "
                 "does (default on)")
      ->type_name("on|off");
  app.add_flag("--status-command-code", a.StatusIsCommandCode,
               "Answer a request carried out with its command code as the status byte, not "
               "00: the reply to Finish is then 06 FB 01 00 06 F8, the request itself");
  app.add_option("--pace-baud", a.PaceBaud,
                 "Model the wire at B bit/s, 11 bits a byte: requests arrive no faster and "
                 "replies leave no faster than the line carries them (default 0: at once)")
      ->type_name("B");
  app.add_option("--write-delay-ms", a.WriteDelayMs,
                 "Time the device takes before answering WritePage (default 0)")
      ->type_name("MS");
  app.add_option("--adapter-latency-ms", a.AdapterLatency,
                 "Hand what the device sends to the host as a USB serial adapter does: in "
                 "packets of up to 62 bytes, each when full or MS after its first byte (16 is "
                 "the common chips' latency timer; default 0: every byte at once)")
      ->type_name("MS");
  app.add_option("--busy-frames", a.BusyFrames,
                 "Answer these frame numbers (comma-separated) with status FF (busy)")
      ->type_name("LIST");
  app.add_option("--busy-rate", a.BusyRate, "Answer each frame busy with probability P (0 to 1)")
      ->type_name("P");
  app.add_option("--busy-burst", a.BusyBurst,
                 "K:N - answer N consecutive frames busy, starting at frame K")
      ->type_name("K:N");
  app.add_option("--damage-rate", a.DamageRate,
                 "Damage each reply's checksum with probability P (0 to 1)")
      ->type_name("P");
  app.add_option("--damage-frames", a.DamageFrames,
                 "Damage the reply checksum of these frame numbers (comma-separated)")
      ->type_name("LIST");
  app.add_option("--silent-polls", a.SilentPolls,
                 "Give no reply to the first N Identify requests (a device not yet on)")
      ->type_name("N");
  app.add_option("--no-reply-command", a.NoReplyCommand,
                 "C[:K[:N]] - carry out command code C but withhold its reply: every time, "
                 "or only its K-th occurrence (from 1), or N occurrences from the K-th on, "
                 "e.g. 10:30 for the 30th WriteBlock, 10:30:3 for the 30th to the 32nd")
      ->type_name("C[:K[:N]]");
  app.add_option("--hangup-after", a.HangupAfter,
                 "Close the pseudo-terminal once the reply to frame N has gone out (an "
                 "unplugged adapter); 0: at once")
      ->type_name("N");
  app.add_option("--seed", a.Seed, "Seed of the random faults (default 1); same seed, same run")
      ->type_name("S");
  app.add_option("--log", a.Log, "Write the frame log (time, direction, command, bytes) to FILE")
      ->type_name("FILE");
  app.add_option("--memory-out", a.MemoryOut,
                 "On exit, write the received program memory to FILE: page p at bytes "
                 "(p-1)*1536 ..., up to the highest page written, gaps FF. With --boards, "
                 "board k's memory goes to FILE.k when it is taken out (or on exit if it is "
                 "still in)")
      ->type_name("FILE");
  app.add_flag("--exit-after-finish", a.ExitAfterFinish,
               "Exit (writing the files) once Finish has been received and answered");
  app.add_option("--boards", a.Boards,
                 "A fixture of N boards, one after the other: each answers until its Finish has "
                 "been answered (then it runs its program and is silent), is taken out, and "
                 "the next is put in with erased memory. Board 1 is in at start")
      ->type_name("N");
  app.add_option("--first-after", a.FirstAfter,
                 "Put board 1 in MS after start, not at once (with --boards)")
      ->type_name("MS");
  app.add_option("--out-after", a.OutAfter,
                 "Take a board out MS after its Finish was answered (default 300)")
      ->type_name("MS");
  app.add_option("--stay", a.Stay,
                 "Take a board that gets no Finish (rejected, or its load failed) out MS after "
                 "its first Identify answer (default 3000); choose it longer than a load takes. "
                 "A board nobody talks to stays")
      ->type_name("MS");
  app.add_option("--gap", a.Gap,
                 "Put the next board in MS after the last was taken out (default 1500). While "
                 "no board is in nothing answers; the echo still comes back. The host sees a "
                 "board gone after its --gone of silence (1 s unless told), which is the gap "
                 "after a rejected board: keep the gap longer")
      ->type_name("MS");
  app.add_flag("--answers-after-finish", a.AnswersAfterFinish,
               "A board keeps answering after its Finish until it is taken out, as if its "
               "program were the bootloader (to see that the host does not load it twice)");
  app.add_option("--reject-board", a.RejectBoards,
                 "These boards (comma-separated, from 1) report device code 0, which the host "
                 "does not load")
      ->type_name("LIST");
  app.add_option("--hangup-board", a.HangupBoard,
                 "K:F - close the pseudo-terminal once the reply to frame F (from 1) of board K "
                 "has gone out and been read, as --hangup-after does; the fixture then stays "
                 "as it is")
      ->type_name("K:F");
  app.add_flag("--exit-when-empty", a.ExitWhenEmpty,
               "Exit (writing the files) --gap after the last board was taken out, when the "
               "next would have come, so the host sees the last board gone; or once the line "
               "has hung up (with --boards)");

  sim::DeviceOptions options;
  try {
    app.parse(argc, argv);
    options = ToOptions(a, app);
  } catch (const CLI::CallForHelp &e) {
    return app.exit(e);
  } catch (const CLI::ParseError &e) {
    app.exit(e);
    return kExitUsage;
  } catch (const UsageError &e) {
    std::cerr << "korvalen-sim: " << e.what() << "\nRun with --help for more information.\n";
    return kExitUsage;
  }

  // Taken by sigtimedwait below, never by a handler; blocked before the device
  // thread exists so it inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  sim::VirtualDevice device(options);
  try {
    device.Start();
  } catch (const std::exception &e) {
    std::cerr << "korvalen-sim: " << e.what() << "\n";
    return kExitFailure;
  }
  std::cout << device.SlavePath() << std::endl;

  const timespec tick{0, 50'000'000};
  std::optional<std::chrono::steady_clock::time_point> emptySince;
  for (;;) {
    if (sigtimedwait(&stopSignals, nullptr, &tick) > 0) {
      break;
    }
    if (a.ExitAfterFinish && device.WaitForFinish(std::chrono::milliseconds(0))) {
      std::this_thread::sleep_for(kFinishGrace);
      break;
    }
    if (a.ExitWhenEmpty && device.HungUp()) {
      break;
    }
    if (a.ExitWhenEmpty && device.FixtureDone()) {
      const auto now = std::chrono::steady_clock::now();
      emptySince = emptySince.value_or(now);
      if (now - *emptySince >= std::chrono::milliseconds(options.Fixture.GapMs)) {
        break;
      }
    }
  }
  device.Stop();

  int status = 0;
  const bool fixture = options.Fixture.Boards > 0;
  for (const std::string &error : device.MemoryFileErrors()) {
    std::cerr << "korvalen-sim: " << error << "\n";
    status = kExitFailure;
  }
  if (!a.MemoryOut.empty() && !fixture) {
    try {
      device.WriteMemory(a.MemoryOut);
    } catch (const std::exception &e) {
      std::cerr << "korvalen-sim: " << e.what() << "\n";
      status = kExitFailure;
    }
  }
  if (!fixture) {
    std::cerr << "korvalen-sim: " << device.AcceptedFrames() << " frames, " << device.Pages().size()
              << " pages written, Finish "
              << (device.FinishReceived() ? "received" : "not received") << "\n";
    return status;
  }
  size_t finished = 0, pages = 0;
  const auto boards = device.Boards();
  for (const sim::BoardRecord &board : boards) {
    finished += board.FinishAnsweredMs ? 1 : 0;
    pages += board.Pages.size();
  }
  std::cerr << "korvalen-sim: " << device.AcceptedFrames() << " frames, " << boards.size() << " of "
            << options.Fixture.Boards << " boards in, " << finished << " finished, " << pages
            << " pages written\n";
  return status;
}
