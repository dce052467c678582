// The Linux port layer on pseudo-terminals: naming, opening, settings, reads and writes, close.
#include "posix_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "pty_harness.h"
#include "restore_registry.h"
#include "start.h"
#include "termios2_rate.h"

namespace {

using ptytest::PtyPair;
using serial::DCB;
using serial::OVERLAPPED;
using serial::SerialPort;
using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

long elapsed_ms(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

// Polls an overlapped transfer until it finishes or the deadline passes; true when finished.
bool poll_until_finished(SerialPort& port, OVERLAPPED& overlapped, std::uint32_t& count,
                         milliseconds deadline) {
  auto end = Clock::now() + deadline;
  while (Clock::now() < end) {
    if (port.GetOverlappedResult(overlapped, count, false)) return true;
    std::this_thread::sleep_for(milliseconds(2));
  }
  return false;
}

std::unique_ptr<SerialPort> open_port(const PtyPair& pty) {
  auto port = serial::open_posix_port(pty.link_path().c_str());
  EXPECT_NE(port, nullptr) << pty.link_path();
  return port;
}

TEST(PortNaming, ComNamesMapToSerialDevicesAndPathsAreUsedWhole) {
  EXPECT_EQ(serial::posix_device_path("COM1"), "/dev/ttyS0");
  EXPECT_EQ(serial::posix_device_path("COM9"), "/dev/ttyS8");
  EXPECT_EQ(serial::posix_device_path("/dev/serial/by-id/usb-x"), "/dev/serial/by-id/usb-x");
  // The tool argument "12" names COM1, "3" names COM3.
  EXPECT_EQ(serial::posix_device_path(serial::device_name("12").c_str()), "/dev/ttyS0");
  EXPECT_EQ(serial::posix_device_path(serial::device_name("3").c_str()), "/dev/ttyS2");
  for (const char* no_port : {"COM", "COM0", "COMx", "COM12", "ttyS0", ""}) {
    EXPECT_EQ(serial::posix_device_path(no_port), "") << no_port;
    EXPECT_EQ(serial::open_posix_port(no_port), nullptr) << no_port;
  }
  EXPECT_EQ(serial::open_posix_port(serial::device_name("").c_str()), nullptr);
}

TEST(PortOpen, RefusesWhatIsNoTerminal) {
  char file_path[] = "/tmp/port_regular_file_XXXXXX";
  int file = mkstemp(file_path);
  ASSERT_GE(file, 0);
  close(file);
  EXPECT_EQ(serial::open_posix_port(file_path), nullptr);
  EXPECT_EQ(serial::open_posix_port("/dev/null"), nullptr);
  EXPECT_EQ(serial::open_posix_port("/dev/does-not-exist"), nullptr);
  unlink(file_path);
}

TEST(PortOpen, IsExclusiveUntilClosed) {
  PtyPair pty;
  auto first = open_port(pty);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(serial::open_posix_port(pty.link_path().c_str()), nullptr);
  EXPECT_EQ(serial::open_posix_port(pty.slave_path().c_str()), nullptr);
  first->CloseHandle();
  first->CloseHandle();  // a second close does nothing
  auto second = open_port(pty);
  EXPECT_NE(second, nullptr);
}

TEST(PortOpen, RefusesAPortAnotherProcessHolds) {
  PtyPair pty;
  ptytest::LockHolder holder(pty.link_path());
  ASSERT_TRUE(holder.holding());
  EXPECT_EQ(serial::open_posix_port(pty.link_path().c_str()), nullptr);
}

TEST(PortOpen, TransfersBytesUnchangedBothWays) {
  PtyPair pty;
  pty.set_line(B9600, false);
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  termios settings = pty.master_settings();
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
  EXPECT_EQ(settings.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
  // Opening keeps the rate the port had.
  EXPECT_EQ(pty.master_rate(), 9600u);

  // Line ends, the interrupt, erase, end-of-file and XON/XOFF characters pass as plain bytes.
  const std::vector<std::uint8_t> tricky = {'\r', '\n', 0x03, 0x04, 0x7F,
                                            0x00, 0x11, 0x13, 0x1A, 0xFF};
  std::uint32_t written = 0;
  ASSERT_TRUE(port->WriteFile(tricky.data(), tricky.size(), &written, nullptr));
  EXPECT_EQ(written, tricky.size());
  EXPECT_EQ(pty.read_master(tricky.size(), milliseconds(2000)), tricky);

  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts);
  pty.write_master(tricky);
  std::vector<std::uint8_t> received(tricky.size());
  OVERLAPPED overlapped;
  port->ReadFile(received.data(), received.size(), nullptr, &overlapped);
  std::uint32_t count = 0;
  ASSERT_TRUE(poll_until_finished(*port, overlapped, count, milliseconds(3000)));
  EXPECT_EQ(count, tricky.size());
  EXPECT_EQ(received, tricky);
}

TEST(PortSettings, UnusualRatesTakeAndReadBack) {
  if (std::string missing = ptytest::no_termios2(); !missing.empty()) GTEST_SKIP() << missing;
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  for (std::uint32_t rate : {14400u, 56000u, 600u, 115200u}) {
    DCB wanted{rate, 8, serial::NOPARITY, serial::ONESTOPBIT};
    ASSERT_TRUE(port->SetCommState(wanted)) << rate;
    DCB now;
    ASSERT_TRUE(port->GetCommState(now));
    EXPECT_EQ(now.BaudRate, rate);
    EXPECT_EQ(now.ByteSize, 8);
    EXPECT_EQ(now.Parity, serial::NOPARITY);
    EXPECT_EQ(now.StopBits, serial::ONESTOPBIT);
    EXPECT_EQ(pty.master_rate(), rate);
  }
  DCB two_stop{56000, 8, serial::NOPARITY, serial::TWOSTOPBITS};
  ASSERT_TRUE(port->SetCommState(two_stop));
  EXPECT_NE(pty.master_settings().c_cflag & CSTOPB, 0u);
  DCB now;
  ASSERT_TRUE(port->GetCommState(now));
  EXPECT_EQ(now.StopBits, serial::TWOSTOPBITS);
}

TEST(PortSettings, WhatThePortDropsIsRefusedAndTheOldSettingsStay) {
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  // From a standard rate and from one only termios2 can express.
  for (std::uint32_t old_rate : {9600u, 14400u}) {
    if (old_rate == 14400u) {
      std::string missing = ptytest::no_termios2();
      if (!missing.empty()) GTEST_SKIP() << "from 9600 only; " << missing;
    }
    DCB old{old_rate, 8, serial::NOPARITY, serial::TWOSTOPBITS};
    ASSERT_TRUE(port->SetCommState(old));

    // A pseudo-terminal drops parity and keeps 8 data bits; the rate change asked for with them
    // must not stay either.
    const DCB refused[] = {{old_rate, 8, serial::EVENPARITY, serial::ONESTOPBIT},
                           {56000, 8, serial::EVENPARITY, serial::ONESTOPBIT},
                           {9600, 8, serial::ODDPARITY, serial::ONESTOPBIT},
                           {19200, 7, serial::NOPARITY, serial::ONESTOPBIT},
                           {0, 8, serial::NOPARITY, serial::ONESTOPBIT},
                           {9600, 8, serial::NOPARITY, serial::ONE5STOPBITS}};
    for (const DCB& wanted : refused) {
      SCOPED_TRACE(std::to_string(old_rate) + " -> " + std::to_string(wanted.BaudRate) +
                   " parity " + std::to_string(wanted.Parity));
      EXPECT_FALSE(port->SetCommState(wanted));
      DCB now;
      ASSERT_TRUE(port->GetCommState(now));
      EXPECT_EQ(now.BaudRate, old_rate);
      EXPECT_EQ(now.ByteSize, 8);
      EXPECT_EQ(now.Parity, serial::NOPARITY);
      EXPECT_EQ(now.StopBits, serial::TWOSTOPBITS);
      EXPECT_EQ(pty.master_rate(), old_rate);
      EXPECT_NE(pty.master_settings().c_cflag & CSTOPB, 0u);
    }
  }
}

TEST(PortModemStatus, NoModemLinesReadsAsCtsNotAsserted) {
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  std::uint32_t status = 0xFFFFFFFF;
  EXPECT_FALSE(port->GetCommModemStatus(status));
  EXPECT_EQ(status, 0u);
}

class PortReads : public ::testing::Test {
 protected:
  void SetUp() override {
    port_ = open_port(pty_);
    ASSERT_NE(port_, nullptr);
    serial::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 200;
    port_->SetCommTimeouts(timeouts);
  }
  PtyPair pty_;
  std::unique_ptr<SerialPort> port_;
  std::uint8_t buffer_[768] = {};
  OVERLAPPED overlapped_;
  std::uint32_t count_ = 0;
};

TEST_F(PortReads, EndsShortOnceTheIntervalPassesAfterTheLastByte) {
  EXPECT_FALSE(port_->ReadFile(buffer_, sizeof buffer_, nullptr, &overlapped_));
  pty_.write_master({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  auto sent = Clock::now();
  ASSERT_TRUE(poll_until_finished(*port_, overlapped_, count_, milliseconds(5000)));
  long took = elapsed_ms(sent);
  EXPECT_EQ(count_, 10u);
  EXPECT_GE(took, 200);
  EXPECT_LT(took, 1500);
  EXPECT_EQ(buffer_[9], 10);
}

TEST_F(PortReads, IntervalRestartsWithEveryByte) {
  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 1000;
  port_->SetCommTimeouts(timeouts);
  port_->ReadFile(buffer_, sizeof buffer_, nullptr, &overlapped_);
  auto started = Clock::now();
  pty_.write_master({1, 2, 3});
  while (elapsed_ms(started) < 600) {
    EXPECT_FALSE(port_->GetOverlappedResult(overlapped_, count_, false));
    std::this_thread::sleep_for(milliseconds(5));
  }
  EXPECT_EQ(count_, 3u);  // what the running read holds so far
  pty_.write_master({4, 5});
  ASSERT_TRUE(poll_until_finished(*port_, overlapped_, count_, milliseconds(5000)));
  EXPECT_EQ(count_, 5u);
}

TEST_F(PortReads, NothingReceivedStaysPending) {
  port_->ReadFile(buffer_, sizeof buffer_, nullptr, &overlapped_);
  auto started = Clock::now();
  while (elapsed_ms(started) < 500) {
    ASSERT_FALSE(port_->GetOverlappedResult(overlapped_, count_, false));
    std::this_thread::sleep_for(milliseconds(10));
  }
}

TEST_F(PortReads, FullReadFinishes) {
  std::vector<std::uint8_t> sent(sizeof buffer_);
  for (std::size_t i = 0; i < sent.size(); ++i)
    sent[i] = static_cast<std::uint8_t>(i * 7);
  port_->ReadFile(buffer_, sizeof buffer_, nullptr, &overlapped_);
  pty_.write_master(sent);
  ASSERT_TRUE(poll_until_finished(*port_, overlapped_, count_, milliseconds(5000)));
  EXPECT_EQ(count_, sizeof buffer_);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer_, buffer_ + sizeof buffer_), sent);
}

TEST_F(PortReads, ReadThatFailsLooksStillRunning) {
  port_->ReadFile(buffer_, sizeof buffer_, nullptr, &overlapped_);
  pty_.write_master({1, 2, 3});
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(port_->GetOverlappedResult(overlapped_, count_, false));
  pty_.close_master();
  // Well past the interval: a read that had merely gone quiet would have finished by now.
  auto started = Clock::now();
  while (elapsed_ms(started) < 600) {
    ASSERT_FALSE(port_->GetOverlappedResult(overlapped_, count_, false));
    std::this_thread::sleep_for(milliseconds(10));
  }
}

TEST(PortWrites, OverlappedWriteAndReadRunTogether) {
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(DCB{115200, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts);

  std::vector<std::uint8_t> outgoing(1000);
  for (std::size_t i = 0; i < outgoing.size(); ++i)
    outgoing[i] = static_cast<std::uint8_t>(i);
  std::uint8_t incoming[4] = {};
  OVERLAPPED write_overlapped;
  OVERLAPPED read_overlapped;
  port->WriteFile(outgoing.data(), outgoing.size(), nullptr, &write_overlapped);
  port->ReadFile(incoming, sizeof incoming, nullptr, &read_overlapped);
  pty.write_master({9, 8, 7, 6});

  std::uint32_t read_count = 0;
  ASSERT_TRUE(poll_until_finished(*port, read_overlapped, read_count, milliseconds(5000)));
  EXPECT_EQ(read_count, 4u);
  EXPECT_EQ(incoming[3], 6);
  std::uint32_t write_count = 0;
  ASSERT_TRUE(poll_until_finished(*port, write_overlapped, write_count, milliseconds(5000)));
  EXPECT_EQ(write_count, outgoing.size());
  EXPECT_EQ(pty.read_master(outgoing.size(), milliseconds(3000)), outgoing);
}

TEST(PortWrites, SynchronousWriteWaitsForTheLine) {
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  // 48 frames of 10 bits at 4800 baud: 100 ms of line time. The write may return with a few
  // milliseconds of it still queued, never with most of it.
  ASSERT_TRUE(port->SetCommState(DCB{4800, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  std::vector<std::uint8_t> burst(48, 0x55);
  auto started = Clock::now();
  std::uint32_t written = 0;
  ASSERT_TRUE(port->WriteFile(burst.data(), burst.size(), &written, nullptr));
  long took = elapsed_ms(started);
  EXPECT_EQ(written, burst.size());
  EXPECT_GE(took, 80);
  EXPECT_LT(took, 3000);
  EXPECT_EQ(pty.read_master(burst.size(), milliseconds(2000)), burst);
}

TEST(PortClose, ReturnsAtOnceWithUnsentBytesQueued) {
  if (std::string missing = ptytest::rate_code_lost(B4000000); !missing.empty()) {
    GTEST_SKIP() << missing;
  }
  PtyPair pty;
  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(DCB{4000000, 8, serial::NOPARITY, serial::ONESTOPBIT}));
  // Nobody reads the master end: the pty's buffers fill and the write cannot finish.
  std::vector<std::uint8_t> flood(1 << 20, 0x55);
  OVERLAPPED overlapped;
  port->WriteFile(flood.data(), flood.size(), nullptr, &overlapped);
  std::uint32_t count = 0;
  EXPECT_FALSE(poll_until_finished(*port, overlapped, count, milliseconds(500)));
  auto started = Clock::now();
  port->CloseHandle();
  EXPECT_LT(elapsed_ms(started), 2000);
  EXPECT_FALSE(port->GetOverlappedResult(overlapped, count, false));
  DCB dcb;
  EXPECT_FALSE(port->GetCommState(dcb));
  // Released: another open succeeds.
  EXPECT_NE(serial::open_posix_port(pty.link_path().c_str()), nullptr);
}

// Writes to the port's device, through the test's own descriptor on it, until the pty takes no
// more: the master end reads nothing meanwhile, so the pty is left holding bytes it has not
// passed on to that end. Whoever wrote them, they are the device's unsent output. Gives the
// count written.
std::size_t fill_unsent_output(const PtyPair& pty) {
  const int flags = fcntl(pty.slave(), F_GETFL);
  fcntl(pty.slave(), F_SETFL, flags | O_NONBLOCK);
  std::vector<std::uint8_t> block(4096, 0x55);
  std::size_t written = 0;
  for (;;) {
    ssize_t count = write(pty.slave(), block.data(), block.size());
    if (count > 0) {
      written += static_cast<std::size_t>(count);
    } else if (count < 0 && errno == EINTR) {
      continue;
    } else {
      EXPECT_EQ(errno, EAGAIN);
      break;
    }
  }
  fcntl(pty.slave(), F_SETFL, flags);
  return written;
}

TEST(PortClose, DropsTheOutputNotYetSent) {
  // Closing, and the fatal-signal path that releases every open port, discard what the device
  // still holds for the line: those bytes would go out after the program has ended. At most
  // what the master end had already taken in stays readable there, and a full pty holds more
  // than that end takes, so fewer bytes than written come out.
  const std::pair<const char*, void (*)(SerialPort&)> endings[] = {
      {"CloseHandle", [](SerialPort& port) { port.CloseHandle(); }},
      {"undo_all",
       [](SerialPort&) { serial::restore::undo_all(serial::restore::Caller::kSignalHandler); }},
  };
  for (const auto& [name, end] : endings) {
    SCOPED_TRACE(name);
    PtyPair pty;
    auto port = open_port(pty);
    ASSERT_NE(port, nullptr);
    const std::size_t written = fill_unsent_output(pty);
    end(*port);
    const std::size_t arrived = pty.read_master(written, milliseconds(1000)).size();
    EXPECT_LT(arrived, written);
  }
}

TEST(PortClose, LeavesThePortAsItWasFound) {
  PtyPair pty;
  // A terminal in canonical mode with echo and XON/XOFF, at a rate only termios2 can name (a
  // standard one where termios2 is missing, under qemu-user).
  termios cooked = pty.master_settings();
  cooked.c_lflag |= ICANON | ECHO;
  cooked.c_iflag |= IXON;
  const bool has_termios2 = ptytest::no_termios2().empty();
  const std::uint32_t found_rate = has_termios2 ? 14400u : 2400u;
  if (!has_termios2) cfsetspeed(&cooked, B2400);
  ASSERT_EQ(tcsetattr(pty.master(), TCSANOW, &cooked), 0);
  if (has_termios2) {
    ASSERT_TRUE(serial::write_termios2_rate(pty.master(), found_rate));
  }
  termios found = pty.master_settings();

  auto port = open_port(pty);
  ASSERT_NE(port, nullptr);
  ASSERT_TRUE(port->SetCommState(DCB{600, 8, serial::NOPARITY, serial::TWOSTOPBITS}));
  ASSERT_EQ(pty.master_settings().c_lflag & ICANON, 0u);
  port->CloseHandle();

  termios left = pty.master_settings();
  EXPECT_EQ(left.c_lflag, found.c_lflag);
  EXPECT_EQ(left.c_iflag, found.c_iflag);
  EXPECT_EQ(left.c_cflag, found.c_cflag);
  EXPECT_EQ(pty.master_rate(), found_rate);
}

// A sysfs tree of its own that names one tty device as the kernel's console.
class ConsoleSysfs {
 public:
  ConsoleSysfs(const char* active, dev_t console) {
    char root[] = "/tmp/serial_tools_sysfs_XXXXXX";
    EXPECT_NE(mkdtemp(root), nullptr);
    root_ = root;
    std::string tty = root_ + "/class/tty";
    for (std::string dir : {root_ + "/class", tty, tty + "/console", tty + "/ttyFAKE0"}) {
      mkdir(dir.c_str(), 0700);
    }
    write(tty + "/console/active", active);
    write(tty + "/ttyFAKE0/dev",
          std::to_string(major(console)) + ":" + std::to_string(minor(console)) + "\n");
  }
  ~ConsoleSysfs() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  const char* root() const { return root_.c_str(); }

 private:
  static void write(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
  }
  std::string root_;
};

TEST(PortOpen, RefusesThePortThatCarriesTheKernelConsole) {
  PtyPair pty;
  struct stat slave {};
  ASSERT_EQ(fstat(pty.slave(), &slave), 0);
  termios before = pty.master_settings();
  // Named by a symlink: the device number, not the name, tells it is the console.
  ConsoleSysfs console_here("tty0 ttyFAKE0\n", slave.st_rdev);
  EXPECT_EQ(serial::open_posix_port(pty.link_path().c_str(), console_here.root()), nullptr);
  EXPECT_EQ(pty.master_settings().c_lflag, before.c_lflag);
  EXPECT_EQ(serial::open_posix_port("/dev/console", console_here.root()), nullptr);

  ConsoleSysfs console_elsewhere("tty0 ttyFAKE0\n", makedev(4, 64));
  EXPECT_NE(serial::open_posix_port(pty.link_path().c_str(), console_elsewhere.root()), nullptr);
}

}  // namespace
