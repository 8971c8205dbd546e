#pragma once
// The kernel side of the device control block: termios2 (any bit rate through
// BOTHER), queue flushes, output queue size and the driver's RS-485 mode.
// Kept apart because <asm/termbits.h> and <termios.h> cannot meet in one file.

#include <cstdint>

#include "serial/com_device.h"

namespace qv::termios_linux {

// Checks a control block for values no line can have (a rate of 0, a data width
// outside 5..8, 1.5 stop bits with more than 5 data bits, 2 with 5): 0 or EINVAL.
int Validate(const DeviceControlBlock& block);
// Applies rate, framing, parity checking (with PARMRK marks when `markErrors`),
// software and CTS/RTS flow control and raw mode: 0 or an errno.
int Apply(int fd, const DeviceControlBlock& block, bool markErrors);
int Flush(int fd, bool input, bool output);
int OutputQueue(int fd, int& bytes);
// Turns the driver's RS-485 mode (RTS raised while sending) on or off: 0 or an
// errno (ENOTTY/EINVAL/ENOIOCTLCMD when the driver has no such mode).
int SetRs485(int fd, bool on);

}  // namespace qv::termios_linux
