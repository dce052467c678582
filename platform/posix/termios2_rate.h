// Any baud number on a Linux tty, through the kernel's termios2 (BOTHER). Kept apart from the
// rest of the port because <asm/termbits.h> and <termios.h> cannot be included together.
#pragma once

#include <cstdint>

namespace serial {

// The output rate the driver runs at, in bits per second. False when the device has no termios2.
bool read_termios2_rate(int fd, std::uint32_t& rate);

// Sets input and output to `rate` bits per second as an arbitrary number, leaving every other
// setting as it is. The driver may round or refuse it: read the rate back to know.
bool write_termios2_rate(int fd, std::uint32_t rate);

}  // namespace serial
