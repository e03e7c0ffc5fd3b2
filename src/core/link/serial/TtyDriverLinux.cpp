#include "link/serial/TtyDriver.h"

#include <asm/ioctls.h>
#include <asm/termbits.h>
#include <linux/serial.h>

#include <cerrno>
#include <cstring>

// <sys/ioctl.h> would drag in the C library's termios types.
extern "C" int ioctl(int fd, unsigned long request, ...);

bool ReadLineRate(int fd, uint32_t &rate) {
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0)
    return false;
  rate = settings.c_ospeed;
  return true;
}

bool WriteLineRate(int fd, uint32_t rate) {
  // Rate 0 is B0, which hangs the line up: never a rate.
  if (rate == 0) {
    errno = EINVAL;
    return false;
  }
  termios2 settings{};
  if (ioctl(fd, TCGETS2, &settings) != 0)
    return false;
  settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
  settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  settings.c_ospeed = rate;
  settings.c_ispeed = rate;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

bool IsAbsentUart(int fd) {
  serial_struct info{};
  // Devices that are not UARTs (USB adapters, pseudo-terminals) refuse the
  // call; they are present.
  if (ioctl(fd, TIOCGSERIAL, &info) != 0)
    return false;
  return info.type == PORT_UNKNOWN;
}

bool ReadLowLatency(int fd, bool &on) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0)
    return false;
  on = (info.flags & ASYNC_LOW_LATENCY) != 0;
  return true;
}

bool WriteLowLatency(int fd, bool on) {
  serial_struct info{};
  if (ioctl(fd, TIOCGSERIAL, &info) != 0)
    return false;
  if (on)
    info.flags |= ASYNC_LOW_LATENCY;
  else
    info.flags &= ~ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &info) == 0;
}

static_assert(sizeof(termios2) <= sizeof(TerminalSettings::Record));

bool SaveTerminal(int fd, TerminalSettings &settings) {
  termios2 record{};
  if (ioctl(fd, TCGETS2, &record) != 0)
    return false;
  std::memcpy(settings.Record, &record, sizeof record);
  return true;
}

bool RestoreTerminal(int fd, const TerminalSettings &settings) {
  termios2 record;
  std::memcpy(&record, settings.Record, sizeof record);
  return ioctl(fd, TCSETS2, &record) == 0;
}
