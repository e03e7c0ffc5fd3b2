#include "link/serial/TtyDriver.h"

#include <cerrno>
#include <cstring>
#include <termios.h>

namespace {
struct RateCode {
  uint32_t Rate;
  speed_t Code;
};
constexpr RateCode kRates[] = {
    {50, B50},       {75, B75},         {110, B110},       {134, B134},     {150, B150},
    {200, B200},     {300, B300},       {600, B600},       {1200, B1200},   {1800, B1800},
    {2400, B2400},   {4800, B4800},     {9600, B9600},     {19200, B19200}, {38400, B38400},
    {57600, B57600}, {115200, B115200}, {230400, B230400},
};
} // namespace

bool ReadLineRate(int fd, uint32_t &rate) {
  termios settings{};
  if (tcgetattr(fd, &settings) != 0)
    return false;
  const speed_t code = cfgetospeed(&settings);
  for (const RateCode &entry : kRates) {
    if (entry.Code == code) {
      rate = entry.Rate;
      return true;
    }
  }
  errno = EINVAL;
  return false;
}

bool WriteLineRate(int fd, uint32_t rate) {
  for (const RateCode &entry : kRates) {
    if (entry.Rate != rate)
      continue;
    termios settings{};
    if (tcgetattr(fd, &settings) != 0 || cfsetispeed(&settings, entry.Code) != 0 ||
        cfsetospeed(&settings, entry.Code) != 0)
      return false;
    return tcsetattr(fd, TCSANOW, &settings) == 0;
  }
  errno = EINVAL;
  return false;
}

// Only Linux lists UARTs without hardware behind them.
bool IsAbsentUart(int) {
  return false;
}

// The flag is Linux's.
bool ReadLowLatency(int, bool &) {
  return false;
}
bool WriteLowLatency(int, bool) {
  return false;
}

static_assert(sizeof(termios) <= sizeof(TerminalSettings::Record));

bool SaveTerminal(int fd, TerminalSettings &settings) {
  termios record{};
  if (tcgetattr(fd, &record) != 0)
    return false;
  std::memcpy(settings.Record, &record, sizeof record);
  return true;
}

bool RestoreTerminal(int fd, const TerminalSettings &settings) {
  termios record;
  std::memcpy(&record, settings.Record, sizeof record);
  return tcsetattr(fd, TCSANOW, &record) == 0;
}
