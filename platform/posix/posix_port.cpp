#include "posix_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "line_frame.h"
#include "port_argument.h"
#include "restore_registry.h"
#include "termios2_rate.h"

namespace serial {
namespace {

// The exact rate a port runs at (termios2), 0 where the driver has no such call.
std::uint32_t exact_rate(int fd) {
  std::uint32_t rate = 0;
  return read_termios2_rate(fd, rate) ? rate : 0;
}

// Gives a port the settings it was found with: termios, then the exact rate through termios2,
// which plain termios cannot name when it was not a standard one. Async-signal-safe.
void restore_found_settings(int fd, const termios& found, std::uint32_t found_rate) {
  tcsetattr(fd, TCSANOW, &found);
  std::uint32_t rate_now = 0;
  if (found_rate != 0 && read_termios2_rate(fd, rate_now) && rate_now != found_rate) {
    write_termios2_rate(fd, found_rate);
  }
}

// All that an open changes on a port, for its undo: the found settings and exact rate, the
// exclusive mode (unless the port was found exclusive) and the lock.
struct PortChanges {
  int fd;
  termios found_settings;
  std::uint32_t found_rate;
  bool clear_exclusive;
};

// Drops what is still queued (or close would wait up to 30 s for it to drain, and the bytes
// would reach the line after the program), gives the port its found settings, lets others open
// it again and releases the lock. Async-signal-safe, and harmless when repeated.
void undo_port_changes(const void* state, restore::Way) {
  const PortChanges& changes = *static_cast<const PortChanges*>(state);
  tcflush(changes.fd, TCOFLUSH);
  restore_found_settings(changes.fd, changes.found_settings, changes.found_rate);
  if (changes.clear_exclusive) ioctl(changes.fd, TIOCNXCL);
  flock(changes.fd, LOCK_UN);
}

// The device number a sysfs tty directory names in its "dev" file ("4:64").
bool sysfs_device_number(const std::string& directory, dev_t& number) {
  char text[32] = {};
  int fd = ::open((directory + "/dev").c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ssize_t length = ::read(fd, text, sizeof text - 1);
  ::close(fd);
  unsigned device_major = 0;
  unsigned device_minor = 0;
  if (length <= 0 || std::sscanf(text, "%u:%u", &device_major, &device_minor) != 2) return false;
  number = makedev(device_major, device_minor);
  return true;
}

struct StandardRate {
  std::uint32_t baud;
  speed_t code;
};

constexpr StandardRate kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool standard_rate_code(std::uint32_t baud, speed_t& code) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.baud == baud) {
      code = rate.code;
      return true;
    }
  }
  return false;
}

}  // namespace

std::uint32_t standard_rate_baud(speed_t code) {
  for (const StandardRate& rate : kStandardRates) {
    if (rate.code == code) return rate.baud;
  }
  return 0;
}

namespace {

// The running output rate: termios2 knows any number, plain termios only the standard ones.
std::uint32_t line_rate(int fd, const termios& settings) {
  std::uint32_t rate = 0;
  if (read_termios2_rate(fd, rate) && rate != 0) return rate;
  return standard_rate_baud(cfgetospeed(&settings));
}

// Binary transfer as on a Win32 port: no echo, no line editing, no CR/LF mapping, no signal
// characters, no output processing, receiver on, modem lines ignored for open and read. The rate,
// the framing and hardware flow control (CRTSCTS) stay as the port has them. XON/XOFF goes: every
// Linux tty starts with it on as a terminal habit, and it would swallow the bytes 0x11 and 0x13
// from the data and let a received 0x13 stop the transmitter.
void make_binary(termios& settings) {
  settings.c_iflag &=
      ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXOFF | IXANY);
  settings.c_oflag &= ~OPOST;
  settings.c_lflag &= ~(ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN);
  settings.c_cflag |= CLOCAL | CREAD;
  settings.c_cc[VMIN] = 1;
  settings.c_cc[VTIME] = 0;
}

tcflag_t byte_size_flag(std::uint8_t byte_size) {
  switch (byte_size) {
    case 5:
      return CS5;
    case 6:
      return CS6;
    case 7:
      return CS7;
    default:
      return CS8;
  }
}

std::uint8_t byte_size_of(tcflag_t cflag) {
  switch (cflag & CSIZE) {
    case CS5:
      return 5;
    case CS6:
      return 6;
    case CS7:
      return 7;
    default:
      return 8;
  }
}

constexpr std::uint8_t kMarkParity = 3;
constexpr std::uint8_t kSpaceParity = 4;
constexpr tcflag_t kParityFlags = PARENB | PARODD | CMSPAR;

tcflag_t parity_flags(std::uint8_t parity) {
  switch (parity) {
    case ODDPARITY:
      return PARENB | PARODD;
    case EVENPARITY:
      return PARENB;
    case kMarkParity:
      return PARENB | PARODD | CMSPAR;
    case kSpaceParity:
      return PARENB | CMSPAR;
    default:
      return 0;
  }
}

std::uint8_t parity_of(tcflag_t cflag) {
  if (!(cflag & PARENB)) return NOPARITY;
  if (cflag & CMSPAR) return (cflag & PARODD) ? kMarkParity : kSpaceParity;
  return (cflag & PARODD) ? ODDPARITY : EVENPARITY;
}

bool valid_settings(const DCB& dcb) {
  if (dcb.BaudRate == 0) return false;
  if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return false;
  if (dcb.Parity > kSpaceParity) return false;
  if (dcb.StopBits > TWOSTOPBITS) return false;
  // One and a half stop bits exist only for 5-bit bytes, two only for longer ones.
  if (dcb.StopBits == ONE5STOPBITS) return dcb.ByteSize == 5;
  if (dcb.StopBits == TWOSTOPBITS) return dcb.ByteSize != 5;
  return true;
}

std::int64_t monotonic_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

std::string posix_device_path(const char* port_name) {
  return linux_device_path(port_name);
}

bool carries_kernel_console(int fd, const char* sysfs_root) {
  struct stat device {};
  if (fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  // /dev/console itself.
  if (device.st_rdev == makedev(5, 1)) return true;
  std::string tty_class = std::string(sysfs_root) + "/class/tty/";
  std::ifstream active(tty_class + "console/active");
  std::string name;
  while (active >> name) {
    dev_t console = 0;
    if (name.find('/') == std::string::npos && sysfs_device_number(tty_class + name, console) &&
        console == device.st_rdev) {
      return true;
    }
  }
  return false;
}

std::unique_ptr<SerialPort> open_posix_port(const char* port_name, const char* sysfs_root) {
  std::string path = posix_device_path(port_name);
  if (path.empty()) return nullptr;
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return nullptr;
  PortChanges changes{fd, {}, 0, true};
  // The lock comes before TIOCEXCL so that a refused open never marks another program's port.
  if (!isatty(fd) || carries_kernel_console(fd, sysfs_root) || flock(fd, LOCK_EX | LOCK_NB) != 0 ||
      tcgetattr(fd, &changes.found_settings) != 0) {
    ::close(fd);
    return nullptr;
  }
  changes.found_rate = exact_rate(fd);
  // Root opens a port that is already exclusive; its exclusive mode is not ours to clear.
  int exclusive = 0;
  changes.clear_exclusive = ioctl(fd, TIOCGEXCL, &exclusive) != 0 || exclusive == 0;
  // Recorded before anything changes: a signal from here on undoes what was done.
  restore::Entry entry = restore::add(undo_port_changes, changes);
  ioctl(fd, TIOCEXCL);
  termios settings = changes.found_settings;
  make_binary(settings);
  if (tcsetattr(fd, TCSANOW, &settings) != 0) {
    if (entry != restore::kNoEntry) {
      restore::undo_and_remove(entry);
    } else {
      undo_port_changes(&changes, restore::Way::kClose);
    }
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<PosixPort>(fd, changes.found_settings, changes.found_rate,
                                     changes.clear_exclusive, entry);
}

PosixPort::PosixPort(int fd, const termios& found_settings, std::uint32_t found_rate,
                     bool clear_exclusive, restore::Entry changes)
    : fd_(fd),
      found_settings_(found_settings),
      found_rate_(found_rate),
      clear_exclusive_(clear_exclusive),
      changes_(changes),
      pacer_(static_cast<PacingKernel&>(*this)),
      transfers_(static_cast<TransferDevice&>(*this)) {
  DriverFacts facts = probe_driver_facts(fd);
  rate_generator_ = classify_rate_generator(facts);
  // cdc_acm counts each of its write buffers in flight as full (several KiB however few bytes it
  // holds), so its TIOCOUTQ would make a write sleep seconds while the line idles; there the
  // write is paced by the line time alone, as on a pseudo-terminal.
  queue_overcounted_ = facts.driver == "cdc_acm";
  update_pacer();
}

PosixPort::~PosixPort() {
  CloseHandle();
}

void PosixPort::update_pacer() {
  DCB dcb;
  if (!GetCommState(dcb)) return;
  pacer_.set_line(dcb.BaudRate, frame_bits(dcb));
}

bool PosixPort::GetCommState(DCB& dcb) {
  termios settings{};
  if (fd_ < 0 || tcgetattr(fd_, &settings) != 0) return false;
  dcb.BaudRate = line_rate(fd_, settings);
  dcb.ByteSize = byte_size_of(settings.c_cflag);
  dcb.Parity = parity_of(settings.c_cflag);
  if (!(settings.c_cflag & CSTOPB)) {
    dcb.StopBits = ONESTOPBIT;
  } else {
    dcb.StopBits = dcb.ByteSize == 5 ? ONE5STOPBITS : TWOSTOPBITS;
  }
  return true;
}

bool PosixPort::SetCommState(const DCB& dcb) {
  termios old_settings{};
  if (fd_ < 0 || !valid_settings(dcb) || tcgetattr(fd_, &old_settings) != 0) return false;
  // A frame the hardware cannot make is refused before the driver is touched: the drivers that
  // cannot make it read back what was asked, and the line would carry another frame meanwhile.
  if (!frames_as_asked(rate_generator_, dcb.ByteSize, dcb.Parity, dcb.StopBits)) return false;
  std::uint32_t old_rate = line_rate(fd_, old_settings);

  termios settings = old_settings;
  settings.c_cflag &= ~(CSIZE | kParityFlags | CSTOPB);
  settings.c_cflag |= byte_size_flag(dcb.ByteSize) | parity_flags(dcb.Parity);
  if (dcb.StopBits != ONESTOPBIT) settings.c_cflag |= CSTOPB;
  speed_t code = 0;
  bool standard = standard_rate_code(dcb.BaudRate, code);
  if (standard) {
    cfsetispeed(&settings, code);
    cfsetospeed(&settings, code);
  }
  bool applied = tcsetattr(fd_, TCSANOW, &settings) == 0;
  if (applied && !standard) applied = write_termios2_rate(fd_, dcb.BaudRate);

  // tcsetattr succeeds when any part took: only reading back tells what the driver kept, and
  // where the divisor scheme is known, what the hardware makes of the rate it kept.
  DCB now;
  bool took = applied && GetCommState(now) &&
              runs_close_enough(rate_generator_, dcb.BaudRate, now.BaudRate) &&
              now.ByteSize == dcb.ByteSize && now.Parity == dcb.Parity &&
              (now.StopBits == ONESTOPBIT) == (dcb.StopBits == ONESTOPBIT);
  if (!took) {
    tcsetattr(fd_, TCSANOW, &old_settings);
    std::uint32_t rate_now = 0;
    if (read_termios2_rate(fd_, rate_now) && rate_now != old_rate && old_rate != 0) {
      write_termios2_rate(fd_, old_rate);
    }
  }
  update_pacer();
  return took;
}

bool PosixPort::SetCommTimeouts(const COMMTIMEOUTS& timeouts) {
  if (fd_ < 0) return false;
  transfers_.set_timeouts(timeouts);
  return true;
}

bool PosixPort::EscapeCommFunction(std::uint32_t function) {
  if (fd_ < 0) return false;
  int line = 0;
  switch (function) {
    case SETRTS:
      line = TIOCM_RTS;
      return ioctl(fd_, TIOCMBIS, &line) == 0;
    case CLRRTS:
      line = TIOCM_RTS;
      return ioctl(fd_, TIOCMBIC, &line) == 0;
    case SETDTR:
      line = TIOCM_DTR;
      return ioctl(fd_, TIOCMBIS, &line) == 0;
    case CLRDTR:
      line = TIOCM_DTR;
      return ioctl(fd_, TIOCMBIC, &line) == 0;
    case SETBREAK:
      return ioctl(fd_, TIOCSBRK) == 0;
    case CLRBREAK:
      return ioctl(fd_, TIOCCBRK) == 0;
    default:
      return false;
  }
}

bool PosixPort::GetCommModemStatus(std::uint32_t& status) {
  int lines = 0;
  // A device without modem lines (a pseudo-terminal) reads as CTS not asserted.
  if (fd_ < 0 || ioctl(fd_, TIOCMGET, &lines) != 0) {
    status = 0;
    return false;
  }
  status = (lines & TIOCM_CTS) ? MS_CTS_ON : 0;
  return true;
}

bool PosixPort::WriteFile(const void* buffer, std::uint32_t length, std::uint32_t* written,
                          OVERLAPPED* overlapped) {
  if (written != nullptr) *written = 0;
  if (fd_ < 0) return false;
  if (overlapped != nullptr) return transfers_.start_write(buffer, length, written, overlapped);
  std::size_t taken = 0;
  bool ok = pacer_.write_all(static_cast<const std::uint8_t*>(buffer), length, taken);
  if (written != nullptr) *written = static_cast<std::uint32_t>(taken);
  return ok;
}

bool PosixPort::ReadFile(void* buffer, std::uint32_t length, std::uint32_t* received,
                         OVERLAPPED* overlapped) {
  if (received != nullptr) *received = 0;
  if (fd_ < 0) return false;
  return transfers_.read(buffer, length, received, overlapped);
}

bool PosixPort::GetOverlappedResult(OVERLAPPED& overlapped, std::uint32_t& transferred, bool wait) {
  if (fd_ < 0) return false;
  return transfers_.result(overlapped, transferred, wait);
}

long PosixPort::offer_output(const std::uint8_t* data, std::size_t length) {
  return pacer_.offer(data, length);
}

long PosixPort::take_input(std::uint8_t* buffer, std::size_t length) {
  for (;;) {
    ssize_t count = ::read(fd_, buffer, length);
    if (count > 0) return static_cast<long>(count);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return 0;
    // End of file on a tty means the device hung up: an error like any other.
    return -1;
  }
}

void PosixPort::wait_for_input(std::int64_t timeout_ns) {
  pollfd watch{fd_, POLLIN, 0};
  int timeout_ms = timeout_ns < 0 ? -1 : static_cast<int>(timeout_ns / 1'000'000);
  if (poll(&watch, 1, timeout_ms) > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
    // Nothing will come of waiting on a device that hung up; the next attempt fails.
    sleep_for(1'000'000);
  }
}

void PosixPort::wait_for_output() {
  // The pacer holds bytes back while the queue drains: look again after a frame or so.
  pollfd watch{fd_, POLLOUT, 0};
  int timeout_ms = static_cast<int>(pacer_.frame_ns() / 1e6) + 1;
  if (poll(&watch, 1, timeout_ms) > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
    sleep_for(1'000'000);
  }
}

void PosixPort::add_wait(WaitSet& set) {
  // A closed port has nothing to wake for.
  if (fd_ >= 0) transfers_.add_wait(set);
}

void PosixPort::add_input_wait(WaitSet& set) {
  set.add(fd_);
}

void PosixPort::add_output_wait(WaitSet& set) {
  // Held back by the pacer: its low mark is a moment on the line's clock. Held back by the
  // device (EAGAIN): the descriptor says when it takes more.
  std::int64_t hold = pacer_.hold_ns();
  if (hold > 0) {
    set.wake_within(hold);
  } else {
    set.add(fd_, true);
  }
}

PortPresence PosixPort::presence() {
  if (fd_ < 0) return PortPresence::kHere;
  // A tty whose device went away is hung up, for good: poll tells it at once, whatever it
  // watches. A device path that is a USB adapter's is then gone from /dev too.
  pollfd watch{fd_, 0, 0};
  if (::poll(&watch, 1, 0) > 0 && (watch.revents & (POLLHUP | POLLERR | POLLNVAL))) {
    return PortPresence::kGone;
  }
  return PortPresence::kHere;
}

void PosixPort::CloseHandle() {
  if (fd_ < 0) return;
  transfers_.abandon();
  // A later program, or a console on the port, expects it as it was found. The record goes
  // before the close: the descriptor's number is soon another file's.
  if (changes_ != restore::kNoEntry) {
    restore::undo_and_remove(changes_);
  } else {
    PortChanges changes{fd_, found_settings_, found_rate_, clear_exclusive_};
    undo_port_changes(&changes, restore::Way::kClose);
  }
  changes_ = restore::kNoEntry;
  ::close(fd_);
  fd_ = -1;
}

long PosixPort::write(const std::uint8_t* data, std::size_t length) {
  ssize_t count = ::write(fd_, data, length);
  return count >= 0 ? static_cast<long>(count) : -errno;
}

long PosixPort::output_queue() {
  if (queue_overcounted_) return 0;
  int queued = 0;
  if (ioctl(fd_, TIOCOUTQ, &queued) != 0) return -1;
  return queued;
}

void PosixPort::wait_writable(std::int64_t timeout_ns) {
  pollfd watch{fd_, POLLOUT, 0};
  int timeout_ms = static_cast<int>(timeout_ns / 1'000'000) + 1;
  if (poll(&watch, 1, timeout_ms) > 0 && (watch.revents & (POLLERR | POLLHUP | POLLNVAL))) {
    sleep_for(1'000'000);
  }
}

void PosixPort::sleep_for(std::int64_t duration_ns) {
  if (duration_ns <= 0) return;
  timespec left{static_cast<time_t>(duration_ns / 1'000'000'000),
                static_cast<long>(duration_ns % 1'000'000'000)};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

std::int64_t PosixPort::now_ns() {
  return monotonic_ns();
}

}  // namespace serial
