// A station on one port: board after board, each loaded by the system's load
// sequence, recorded in the journal, and awaited until it is taken out
// before the next one is loaded. Its states go to an observer, so the command
// line draws them and the tests read them; it prints nothing itself.
#pragma once

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "link/Zor_RS232.h"
#include "loader/LoadSequence.h"
#include "station/Journal.h"
#include "station/LoadRecord.h"
#include "station/SerialNumber.h"

enum class StationState {
  Waiting, // no board: polling for the next one
  Loading, // a board answered: its load runs
  TakeOut, // its load has ended: polling until the board is gone
  // Serial numbers need the journal's server, which cannot hand one out
  // now: no board is loaded; it is asked again every kServerRetry.
  NoServer,
};

// How often a station whose numbers need a server that cannot be reached
// asks it again.
inline constexpr std::chrono::seconds kServerRetry{3};

// How one board's load ended.
struct BoardEnd {
  LoadResult Result;
  // What the board reported; nothing when none answered (a Ctrl-C while
  // waiting, a hang-up before the board came).
  std::optional<DeviceIdentity> Identity;
  // The number written into it (--serial), once handed out; void unless the
  // load ended done.
  std::optional<uint64_t> Serial;
  // The journal's record of it, when it reached a device; already durable
  // when BoardEnded sees it, unless JournalFailure says otherwise.
  std::optional<LoadRecord> Record;
  // Why the record could not be written; the session ends after this board.
  std::string JournalFailure;
  double Seconds = 0; // from the device's answer to the end
  LinkStatistics Statistics;
  uint64_t UnansweredPolls = 0;
  bool HungUp = false; // the port's other side went away
};

// Why a session ended.
enum class SessionEnd {
  OneLoad,       // not repeating: the one load is over
  Stopped,       // asked to stop (a count reached, Ctrl-C) with no load under way
  Interrupted,   // Ctrl-C during a load, which then ended cancelled
  HungUp,        // the adapter was pulled or the device's line closed
  JournalFailed, // a record could not be written
  FileProblem,   // the image could not be had for the next board
};

struct SessionSummary {
  SessionEnd End = SessionEnd::OneLoad;
  int Boards = 0, Done = 0, Rejected = 0, Failed = 0, Cancelled = 0;
  // 0 when no load failed or was rejected, else the highest such exit code
  // (1 rejected, 2 failed, 3 cancelled).
  int ExitCode = 0;
};

struct StationSetup {
  // The load for the next board: its file, views and observers. Nothing
  // ends the session (the image cannot be had: already said why).
  std::function<std::optional<LoadRequest>()> NextLoad;
  // What the record of that load says of the image: its digest and size.
  std::function<std::pair<std::string, uint64_t>()> ImageFacts;
  // Where records go; null: none are kept.
  Journal *Records = nullptr;
  // The fields every record of the session shares: station, port, image,
  // program.
  LoadRecord Template;
  // One load (false) or board after board until stopped (true).
  bool Repeat = false;
  // A number of its own for every board, taken from the journal's sequence
  // (Records must be set) before the page that carries it is sent.
  std::optional<SerialLayout> Serial;
  // A board is gone when it has not answered Identify for this long in a row.
  std::chrono::milliseconds GoneAfter{1000};
  // Asked while no load is under way (waiting for a board or for one to go):
  // true ends the session there, without a record.
  std::function<bool()> StopRequested;
  // Ctrl-C: asked as the load asks its view; a load under way then ends
  // cancelled and the session with it.
  std::function<bool()> Interrupted;
};

struct StationObserver {
  std::function<void(StationState)> StateChanged;
  // A board's load ended (after its record was written, or failed to be).
  std::function<void(const BoardEnd &)> BoardEnded;
  // The board was taken out.
  std::function<void()> BoardGone;
  // A number was handed out and is about to be written into `page`'s bytes.
  std::function<void(uint64_t number, int page, const PageBytes &bytes)> SerialWritten;
};

// Runs the session on `link` (open, line mode and rate set). The journal is
// checked first: a session whose records could not be written starts no
// load (EJournalError goes to the caller). With Serial, no board is loaded
// while the journal cannot hand out numbers (NoServer); a number that cannot
// be had when its page comes (the server went away in between) fails that
// load, whose record is kept, and the session goes on.
SessionSummary RunStation(TZor_RS &link, const StationSetup &setup,
                          const StationObserver &observer = {});
