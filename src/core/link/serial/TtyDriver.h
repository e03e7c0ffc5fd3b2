// The few terminal-driver calls that differ between POSIX systems. Linux gets
// its own translation unit because <asm/termbits.h> (termios2, any baud rate)
// cannot share one with <termios.h>; other systems use standard rates only.
#pragma once

#include <cstdint>

// The terminal's whole settings as the driver holds them (on Linux with any
// rate), kept to be put back as they were.
struct TerminalSettings {
  alignas(8) unsigned char Record[128];
};

// The output rate that the driver holds for `fd`, in bit/s. False: errno says
// why (EINVAL: a rate this system has no number for).
bool ReadLineRate(int fd, uint32_t &rate);
// Asks the driver for `rate` bit/s in both directions. False when the rate is
// refused, with errno saying why (EINVAL: a rate the system does not offer);
// the rate in force then stays. The driver may round: read it back.
bool WriteLineRate(int fd, uint32_t rate);
// True for a built-in UART that the kernel lists though no hardware is behind
// it; such a port does not count as present.
bool IsAbsentUart(int fd);
// The driver's low-latency flag, which has a USB adapter hand over received
// bytes at once (FTDI chips: a 1 ms latency timer) instead of holding them up
// to its latency timer (16 ms). False when the driver does not know the
// request (a pseudo-terminal, a system without it) or refuses it. The write is
// async-signal-safe.
bool ReadLowLatency(int fd, bool &on);
bool WriteLowLatency(int fd, bool on);
// Reads the settings of `fd`; false when it is not a terminal.
bool SaveTerminal(int fd, TerminalSettings &settings);
// Puts them back at once. Async-signal-safe.
bool RestoreTerminal(int fd, const TerminalSettings &settings);
