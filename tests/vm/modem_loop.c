/* Puts a 16550 into its modem loopback (RTS feeds CTS, DTR feeds DSR). The driver keeps the
   loopback bit across close and reopen, so the program under test finds it set. */
#include <fcntl.h>
#include <stdio.h>
#include <sys/ioctl.h>

#ifndef TIOCM_LOOP
#define TIOCM_LOOP 0x8000 /* the kernel's asm-generic/termios.h; glibc does not name it */
#endif

int main(int argc, char** argv) {
  int loop = TIOCM_LOOP;
  int fd = argc == 2 ? open(argv[1], O_RDWR | O_NOCTTY | O_NONBLOCK) : -1;
  if (fd < 0 || ioctl(fd, TIOCMBIS, &loop) != 0) {
    perror("modem_loop");
    return 1;
  }
  return 0;
}
