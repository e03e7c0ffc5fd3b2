// Test helpers: a pseudo-terminal pair standing in for a serial device, and a
// temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

// The device side is the master; the slave is what the port opens. The slave
// is put into the terminal's default cooked mode first, so that a port that
// forgot to make it raw loses or changes bytes.
class PseudoTerminal {
public:
  PseudoTerminal() {
    FMasterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (FMasterFd < 0 || grantpt(FMasterFd) != 0 || unlockpt(FMasterFd) != 0)
      throw std::runtime_error("no pseudo-terminal");
    FSlaveName = ptsname(FMasterFd);
    // Held open so the cooked settings stay with the terminal.
    FCookedFd = open(FSlaveName.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios cooked{};
    if (FCookedFd < 0 || tcgetattr(FCookedFd, &cooked) != 0)
      throw std::runtime_error("cannot open the slave side");
    cooked.c_iflag = BRKINT | ICRNL | IXON | IMAXBEL;
    cooked.c_oflag = OPOST | ONLCR;
    cooked.c_lflag = ISIG | ICANON | ECHO | ECHOE | ECHOK | ECHOCTL | ECHOKE | IEXTEN;
    cooked.c_cflag = (cooked.c_cflag & ~(CSIZE | PARENB | CSTOPB)) | CS8 | CREAD | HUPCL;
    if (tcsetattr(FCookedFd, TCSANOW, &cooked) != 0)
      throw std::runtime_error("cannot make the slave cooked");
  }
  ~PseudoTerminal() {
    CloseMaster();
    close(FCookedFd);
  }
  PseudoTerminal(const PseudoTerminal &) = delete;
  PseudoTerminal &operator=(const PseudoTerminal &) = delete;

  const std::string &SlavePath() const { return FSlaveName; }

  // The device goes away: the slave side is hung up.
  void CloseMaster() {
    if (FMasterFd >= 0)
      close(FMasterFd);
    FMasterFd = -1;
  }

  void Send(const std::vector<uint8_t> &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t put = write(FMasterFd, bytes.data() + done, bytes.size() - done);
      if (put > 0)
        done += static_cast<size_t>(put);
      else
        WaitFor(POLLOUT, 100);
    }
  }

  // What the device received: up to `count` bytes, waiting at most a few
  // seconds in all.
  std::vector<uint8_t> Receive(size_t count, std::chrono::seconds limit = std::chrono::seconds(5)) {
    std::vector<uint8_t> bytes;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (bytes.size() < count && std::chrono::steady_clock::now() < deadline) {
      uint8_t buffer[512];
      const ssize_t got = read(FMasterFd, buffer, std::min(sizeof buffer, count - bytes.size()));
      if (got > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
      else
        WaitFor(POLLIN, 50);
    }
    return bytes;
  }

  // True when the device side has something to read right now.
  bool HasInput() { return WaitFor(POLLIN, 0); }

  // The slave side's settings as they stand now.
  termios SlaveSettings() const {
    termios now{};
    tcgetattr(FCookedFd, &now);
    return now;
  }

private:
  bool WaitFor(short events, int milliseconds) {
    pollfd state{FMasterFd, events, 0};
    return poll(&state, 1, milliseconds) > 0 && (state.revents & events) != 0;
  }

  int FMasterFd = -1;
  int FCookedFd = -1;
  std::string FSlaveName;
};

// A fresh folder under the system's temporary folder, removed afterwards.
class TemporaryFolder {
public:
  TemporaryFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "korvalen-serial-XXXXXX");
    if (mkdtemp(pattern.data()) == nullptr)
      throw std::runtime_error("no temporary folder");
    FFolder = pattern;
  }
  ~TemporaryFolder() {
    std::error_code error;
    std::filesystem::remove_all(FFolder, error);
  }
  TemporaryFolder(const TemporaryFolder &) = delete;
  TemporaryFolder &operator=(const TemporaryFolder &) = delete;

  const std::filesystem::path &Path() const { return FFolder; }

private:
  std::filesystem::path FFolder;
};
