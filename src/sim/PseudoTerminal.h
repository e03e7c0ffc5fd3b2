// The pseudo-terminal pair the device serves on, and the symbolic link that
// names its slave side where the host looks for ports (ports/COM3, say).
#pragma once

#include <optional>
#include <string>

namespace sim {

class PseudoTerminal {
public:
  PseudoTerminal() = default;
  // Closes what is open and removes the link.
  ~PseudoTerminal() { Close(); }
  PseudoTerminal(const PseudoTerminal &) = delete;
  PseudoTerminal &operator=(const PseudoTerminal &) = delete;

  // Opens the pair: the master non-blocking, for the device; the slave side
  // raw at once and held open for the whole run, so the host may close and
  // reopen its side without the master seeing a hang-up, and no byte of the
  // host is ever echoed or translated by the terminal driver. Throws
  // std::system_error, leaving nothing open.
  void Open();
  // Makes the symbolic link `path` to the slave side. An old link there is
  // replaced when it is dangling or leads to a pseudo-terminal; any other file
  // is someone else's and refused (std::runtime_error). Throws
  // std::system_error when the file system refuses.
  void MakeLink(const std::string &path);

  // The device's end; -1 before Open and once hung up or closed.
  int Master() const { return FMaster; }
  // E.g. /dev/pts/7; stays known after Close.
  const std::string &SlavePath() const { return FSlavePath; }
  // Bytes the device has written that the host has not read yet; nothing
  // when they cannot be counted.
  std::optional<int> QueuedForHost() const;

  // Closes both ends: the host's reads see a hang-up. The link stays.
  void HangUp();
  // Closes both ends and removes the link if it still leads here (another
  // run may have taken the name meanwhile). Idempotent.
  void Close();

private:
  std::string FSlavePath;
  std::string FLinkPath;
  int FMaster = -1;
  int FSlaveHold = -1;
  bool FLinkMade = false;
};

} // namespace sim
