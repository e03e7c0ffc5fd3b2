// The few terminal-driver calls that differ between POSIX systems. Linux gets
// its own translation unit because <asm/termbits.h> (termios2, any baud rate)
// cannot share one with <termios.h>; other systems use standard rates only.
#pragma once

#include <cstdint>

// The output rate that the driver holds for `fd`, in bit/s.
bool ReadLineRate(int fd, uint32_t &rate);
// Asks the driver for `rate` bit/s in both directions. False when the rate is
// refused; the rate in force then stays. The driver may round: read it back.
bool WriteLineRate(int fd, uint32_t rate);
// True for a built-in UART that the kernel lists though no hardware is behind
// it; such a port does not count as present.
bool IsAbsentUart(int fd);
