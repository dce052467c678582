// The rates a port's hardware really makes, as its driver programs the divisor, and which of
// them a port accepts.
#include "rate_generator.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

using serial::classify_rate_generator;
using serial::DriverFacts;
using serial::frames_as_asked;
using serial::Framing;
using serial::hardware_rate;
using serial::RateGenerator;
using serial::RateScheme;
using serial::runs_close_enough;

const RateGenerator k16550{RateScheme::kUart8250, 115200};

// wendro's rates and the line rates of the other tools.
constexpr std::uint32_t kToolRates[] = {110,   300,   600,   1200,  2400,  4800,  9600,
                                        14400, 19200, 38400, 56000, 57600, 115200};

TEST(RateGenerator, A16550MakesBaudBaseOverTheRoundedDivisor) {
  EXPECT_DOUBLE_EQ(hardware_rate(k16550, 56000), 57600.0);  // divisor 2
  EXPECT_NEAR(hardware_rate(k16550, 110), 115200.0 / 1047, 1e-9);
  EXPECT_DOUBLE_EQ(hardware_rate(k16550, 14400), 14400.0);
  // Faster than the clock allows: no divisor at all.
  EXPECT_EQ(hardware_rate(k16550, 300000), 0.0);
  EXPECT_FALSE(runs_close_enough(k16550, 56000, 56000));
  for (std::uint32_t rate : kToolRates) {
    EXPECT_EQ(runs_close_enough(k16550, rate, rate), rate != 56000) << rate;
  }
}

TEST(RateGenerator, FtdiChipsCannotGoBelowTheirFourteenBitDivisor) {
  for (RateScheme scheme :
       {RateScheme::kFtdi232A, RateScheme::kFtdi232B, RateScheme::kFtdiHighSpeed}) {
    RateGenerator ftdi{scheme, 0};
    // 3 MHz / 16383.875 is the slowest: 183.1 baud.
    EXPECT_EQ(hardware_rate(ftdi, 110), 0.0);
    EXPECT_EQ(hardware_rate(ftdi, 183), 0.0);
    EXPECT_NEAR(hardware_rate(ftdi, 184), 184.0, 0.1);
    for (std::uint32_t rate : kToolRates) {
      EXPECT_EQ(runs_close_enough(ftdi, rate, rate), rate != 110) << rate;
    }
  }
}

TEST(RateGenerator, FtdiFractionsFollowTheChip) {
  // 3 MHz / 56000 = 53.57: the B chips take 53.625 (eighths), the A chip only 53.5.
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232B, 0}, 56000), 3e6 / 53.625, 1e-6);
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdi232A, 0}, 56000), 3e6 / 53.5, 1e-6);
  // The H chips divide 12 MHz from 1200 baud up: 12 MHz / 214.25.
  EXPECT_NEAR(hardware_rate({RateScheme::kFtdiHighSpeed, 0}, 56000), 12e6 / 214.25, 1e-6);
  // The first chip knows a fixed list only.
  RateGenerator sio{RateScheme::kFtdiSio, 0};
  EXPECT_EQ(hardware_rate(sio, 57600), 57600.0);
  EXPECT_EQ(hardware_rate(sio, 56000), 0.0);
  EXPECT_EQ(hardware_rate(sio, 14400), 0.0);
}

TEST(RateGenerator, OnlyKnownDivisorsAreJudged) {
  DriverFacts uart{"serial", true, 4, 115200, 0, false};
  EXPECT_EQ(classify_rate_generator(uart).scheme, RateScheme::kUart8250);
  EXPECT_EQ(classify_rate_generator(uart).baud_base, 115200u);
  DriverFacts ftdi{"ftdi_sio", true, 0, 24000000, 0, true};
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdi232B);
  ftdi.has_latency_timer = false;
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdi232A);
  ftdi.baud_base = 60000000;
  EXPECT_EQ(classify_rate_generator(ftdi).scheme, RateScheme::kFtdiHighSpeed);

  // Left alone: a custom divisor (38400 means another rate), a UART type with its own divider,
  // another driver, no serial info, a pseudo-terminal.
  DriverFacts custom = uart;
  custom.flags = 0x0030;
  DriverFacts other_type = uart;
  other_type.uart_type = 14;
  DriverFacts bridge{"cp210x", true, 0, 0, 0, false};
  DriverFacts no_info{"serial", false, 0, 0, 0, false};
  for (const DriverFacts& facts : {custom, other_type, bridge, no_info, DriverFacts{}}) {
    RateGenerator unknown = classify_rate_generator(facts);
    EXPECT_EQ(unknown.scheme, RateScheme::kUnknown) << facts.driver;
    EXPECT_TRUE(runs_close_enough(unknown, 56000, 56000));
    EXPECT_FALSE(runs_close_enough(unknown, 56000, 9600));
  }
}

TEST(RateGenerator, ArduinoBridgeMakesWhatItsTwelveBitBaudRegisterHolds) {
  DriverFacts uno{"cdc_acm", true, 0, 0, 0, false, 0x2341, 0x0043};
  RateGenerator bridge = classify_rate_generator(uno);
  ASSERT_EQ(bridge.scheme, RateScheme::kArduinoBridge);
  // 2 MHz / 18182 needs a register of 15 bits: 18181 keeps 1797; 300 keeps 2570 of 6666.
  EXPECT_NEAR(hardware_rate(bridge, 110), 2e6 / 1798, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 300), 2e6 / 2571, 1e-6);
  // 57600 runs at normal speed, 1 MHz / 17; 115200 at double speed, 2 MHz / 17: both 2.1 % fast.
  EXPECT_NEAR(hardware_rate(bridge, 57600), 1e6 / 17, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 115200), 2e6 / 17, 1e-6);
  EXPECT_NEAR(hardware_rate(bridge, 56000), 2e6 / 36, 1e-6);
  for (std::uint32_t rate : kToolRates) {
    bool wrong = rate == 110 || rate == 300 || rate == 57600 || rate == 115200;
    EXPECT_EQ(runs_close_enough(bridge, rate, rate), !wrong) << rate;
  }
}

TEST(RateGenerator, FramingIsJudgedOnlyWhereTheChipIsKnownToDropIt) {
  DriverFacts old_ch341{"ch341-uart", true, 0, 0, 0, false, 0, 0, 0x27};
  DriverFacts new_ch341 = old_ch341;
  new_ch341.chip_version = 0x30;
  DriverFacts unread_ch341 = old_ch341;
  unread_ch341.chip_version = -1;
  DriverFacts mega{"cdc_acm", true, 0, 0, 0, false, 0x2A03, 0x0042};
  DriverFacts other_acm = mega;  // a CH9102 behind cdc_acm: nothing known
  other_acm.usb_vendor = 0x1A86;
  other_acm.usb_product = 0x55D4;
  DriverFacts arduino_ids_elsewhere = mega;
  arduino_ids_elsewhere.driver = "cp210x";

  RateGenerator old_chip = classify_rate_generator(old_ch341);
  EXPECT_EQ(old_chip.framing, Framing::kOnly8N1);
  EXPECT_EQ(old_chip.scheme, RateScheme::kUnknown);  // its divisor is within 0.5 % everywhere
  EXPECT_TRUE(frames_as_asked(old_chip, 8, 0, 0));
  EXPECT_FALSE(frames_as_asked(old_chip, 8, 2, 2));  // wendro's 8E2 rows
  EXPECT_FALSE(frames_as_asked(old_chip, 7, 0, 0));
  EXPECT_FALSE(frames_as_asked(old_chip, 8, 0, 2));

  RateGenerator board = classify_rate_generator(mega);
  EXPECT_TRUE(frames_as_asked(board, 8, 2, 2));
  EXPECT_TRUE(frames_as_asked(board, 7, 1, 0));
  EXPECT_FALSE(frames_as_asked(board, 8, 3, 0));  // mark
  EXPECT_FALSE(frames_as_asked(board, 8, 4, 0));  // space

  for (const DriverFacts& facts : {new_ch341, unread_ch341, other_acm, arduino_ids_elsewhere}) {
    RateGenerator as_asked = classify_rate_generator(facts);
    EXPECT_EQ(as_asked.scheme, RateScheme::kUnknown) << facts.driver << facts.chip_version;
    EXPECT_TRUE(frames_as_asked(as_asked, 8, 2, 2)) << facts.driver << facts.chip_version;
    EXPECT_TRUE(frames_as_asked(as_asked, 8, 4, 0)) << facts.driver << facts.chip_version;
  }
}

}  // namespace
