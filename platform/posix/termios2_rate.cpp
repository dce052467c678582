#include "termios2_rate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace serial {

bool read_termios2_rate(int fd, std::uint32_t& rate) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  rate = settings.c_ospeed;
  return true;
}

bool write_termios2_rate(int fd, std::uint32_t rate) {
  struct termios2 settings {};
  if (ioctl(fd, TCGETS2, &settings) != 0) return false;
  settings.c_cflag &= ~CBAUD;
  settings.c_cflag |= BOTHER;
  // A zero input rate field makes the input follow the output rate.
  settings.c_cflag &= ~(CBAUD << IBSHIFT);
  settings.c_ospeed = rate;
  settings.c_ispeed = rate;
  return ioctl(fd, TCSETS2, &settings) == 0;
}

}  // namespace serial
