// wendro on the bench: the square wave each row puts on the transmit line, measured like an
// oscilloscope would, and the keys that step it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "bench.h"
#include "timeline.h"
#include "uart.h"
#include "wendro.h"

namespace {

using sim::Bench;
using sim::from_ms;
using sim::PortCall;
using sim::PortOp;
using sim::SentFrame;
using sim::Tick;

constexpr int kStartRow = 13;
constexpr int kLastRow = 29;

// The levels of one frame, one entry per bit time, built from the byte and the framing: start bit,
// data least significant first, even parity when on, then the stop bits.
std::vector<int> frame_levels(const SentFrame& frame) {
  std::vector<int> levels{0};
  int ones = 0;
  for (int bit = 0; bit < frame.format.data_bits; ++bit) {
    int level = (frame.byte >> bit) & 1;
    ones += level;
    levels.push_back(level);
  }
  if (frame.format.parity == serial::EVENPARITY) levels.push_back(ones % 2);
  int stop_bits = frame.format.stop_bits == serial::TWOSTOPBITS ? 2 : 1;
  for (int i = 0; i < stop_bits; ++i)
    levels.push_back(1);
  return levels;
}

// What the frame repeated back to back looks like: falls per frame, share of bits high, and the
// longest stretch at 1 (frames join, so runs wrap around).
struct Pattern {
  int bits = 0;
  int falls = 0;
  int highs = 0;
  int longest_high = 0;
};

Pattern pattern_of(const SentFrame& frame) {
  std::vector<int> levels = frame_levels(frame);
  Pattern p;
  p.bits = static_cast<int>(levels.size());
  int run = 0;
  for (int i = 0; i < 2 * p.bits; ++i) {
    int level = levels[i % p.bits];
    int before = levels[(i + p.bits - 1) % p.bits];
    if (i < p.bits) {
      p.highs += level;
      if (before == 1 && level == 0) ++p.falls;
    }
    run = level ? run + 1 : 0;
    if (run > p.longest_high) p.longest_high = run;
  }
  return p;
}

std::vector<PortCall> calls_of(Bench& bench, PortOp op) {
  std::vector<PortCall> found;
  for (const PortCall& call : bench.world().calls())
    if (call.op == op) found.push_back(call);
  return found;
}

// The frames that started at or after `from` and before `to`.
std::vector<SentFrame> frames_between(Bench& bench, Tick from, Tick to) {
  std::vector<SentFrame> found;
  for (const SentFrame& frame : bench.world().frames())
    if (frame.start >= from && frame.start < to) found.push_back(frame);
  return found;
}

// Presses `+` or `-` as often as it takes to walk from the start row to `row`.
void press_steps_to(Bench& bench, Tick at, int row) {
  char key = row > kStartRow ? '+' : '-';
  for (int i = 0; i < std::abs(row - kStartRow); ++i)
    bench.keyboard().press(at, key);
}

// Checks that `frames` are one square wave with no gap between them and returns its frequency.
double check_square_wave(Bench& bench, const std::vector<SentFrame>& frames) {
  const SentFrame& first = frames.front();
  for (std::size_t i = 1; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].start, frames[i - 1].end) << "idle before frame " << i;
    EXPECT_EQ(frames[i].byte, first.byte);
    EXPECT_EQ(frames[i].format.baud, first.format.baud);
    EXPECT_EQ(frames[i].format.parity, first.format.parity);
    EXPECT_EQ(frames[i].format.stop_bits, first.format.stop_bits);
  }
  Pattern pattern = pattern_of(first);
  EXPECT_EQ(2 * pattern.highs, pattern.bits) << "not half high";
  double expected_hz = static_cast<double>(first.format.baud) * pattern.falls / pattern.bits;

  Tick from = first.start;
  Tick to = frames.back().end;
  sim::WaveMeasurement wave = sim::measure_wave(bench.world().tx(), from, to);
  EXPECT_GT(wave.periods, 2u);
  EXPECT_NEAR(wave.frequency_hz, expected_hz, expected_hz * 1e-9);
  EXPECT_NEAR(wave.duty_cycle, 0.5, 1e-9);
  EXPECT_EQ(wave.shortest_period, wave.longest_period) << "uneven periods";
  EXPECT_EQ(sim::longest_run(bench.world().tx(), 1, from, to),
            pattern.longest_high * first.format.bit())
      << "the line idled high";
  return wave.frequency_hz;
}

class WendroRow : public ::testing::TestWithParam<int> {};

TEST_P(WendroRow, IsAnEvenSquareWaveAtItsLabelAcrossWrites) {
  const int row = GetParam();
  Bench bench;
  press_steps_to(bench, 0, row);
  // Each step costs one write. Walking down to row 0 takes about 25 s of them at the slow rows,
  // walking up to row 29 under 5 s; the quit comes after them and a few more writes.
  bench.keyboard().press(from_ms(row < kStartRow ? 40'000 : 8'000), 'q');
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);

  // The wave of this row runs from the first frame after its setting to the quit.
  std::vector<PortCall> settings = calls_of(bench, PortOp::kSetCommState);
  ASSERT_EQ(settings.size(), static_cast<std::size_t>(std::abs(row - kStartRow)) + 1);
  Tick applied = settings.back().at;
  std::vector<PortCall> writes = calls_of(bench, PortOp::kWrite);
  std::size_t writes_at_row = 0;
  for (const PortCall& write : writes)
    writes_at_row += write.at >= applied;
  EXPECT_GE(writes_at_row, 3u) << "the wave must span several writes";

  std::vector<SentFrame> frames = frames_between(bench, applied, sim::kNever);
  ASSERT_GT(frames.size(), 10u);
  double hz = check_square_wave(bench, frames);

  char label[32];
  std::snprintf(label, sizeof label, " %5d Hz\n", static_cast<int>(std::floor(hz)));
  EXPECT_EQ(bench.keyboard().printed().back().text, label);
}

INSTANTIATE_TEST_SUITE_P(AllRows, WendroRow, ::testing::Range(0, wendro::kRateCount));

TEST(Wendro, StartsAt800HzBeforeAnyKeyAndQuitsWithTheRightKeys) {
  for (int quit : {'q', 'Q'}) {
    Bench bench;
    bench.keyboard().press(from_ms(3000), quit);
    ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);
    sim::World& world = bench.world();
    EXPECT_EQ(world.opened_access(), serial::GENERIC_WRITE);
    EXPECT_EQ(world.opened_flags(), serial::FILE_FLAG_WRITE_THROUGH);
    EXPECT_EQ(bench.keyboard().screen(), "   800 Hz\n");
    EXPECT_LT(bench.keyboard().printed()[0].at, from_ms(3000));

    // Settings are read at start and changed only by the loop's first row.
    const std::vector<PortCall>& calls = world.calls();
    ASSERT_GE(calls.size(), 5u);
    EXPECT_EQ(calls[1].op, PortOp::kGetCommState);
    EXPECT_EQ(calls[2].op, PortOp::kSetCommState);
    EXPECT_EQ(calls[2].dcb.BaudRate, 4800u);
    EXPECT_EQ(calls[2].dcb.Parity, serial::EVENPARITY);
    EXPECT_EQ(calls[2].dcb.StopBits, serial::TWOSTOPBITS);
    EXPECT_EQ(calls[3].op, PortOp::kWrite);
    EXPECT_EQ(calls.back().op, PortOp::kClose);
    EXPECT_FALSE(world.port_open());
    EXPECT_EQ(bench.keyboard().unread_input(), 0u);
  }
}

// Every key form, up and down through the whole table, with ignored keys at both ends and among
// the steps. The screen must show exactly the rows applied, and every step must reach the line
// within one frame of the old setting, with no frame mixing the two.
TEST(Wendro, StepsThroughAllRowsWithEveryKeyForm) {
  Bench bench;
  sim::ScriptedConsole& keys = bench.keyboard();
  std::vector<int> expected_rows{kStartRow};
  int row = kStartRow;
  auto step = [&](int delta) {
    int next = row + delta;
    if (delta == 0 || next < 0 || next > kLastRow) return;
    row = next;
    expected_rows.push_back(row);
  };
  Tick at = from_ms(1000);
  auto press = [&](int code, int delta) {
    keys.press(at, code);
    step(delta);
    at += from_ms(700);
  };
  auto press_extended = [&](int second, int delta) {
    keys.press_extended(at, 224, second);
    step(delta);
    at += from_ms(700);
  };
  const int downs[] = {80, 75, 77, 73, 81, 71, 79, 82, 83};
  for (int i = 0; i < 17; ++i)
    press('+', +1);  // the last one at row 29 is ignored
  press('x', 0);
  for (int i = 0; i < 30; ++i)
    press('-', -1);
  press(27, 0);
  for (int i = 0; i < 30; ++i)
    press('=', +1);
  press('\r', 0);
  for (int i = 0; i < 30; ++i)
    press('_', -1);
  for (int i = 0; i < 30; ++i)
    press_extended(72, +1);
  for (int i = 0; i < 30; ++i)
    press_extended(downs[i % 9], -1);
  // A 0 prefix is a key of its own: F3 (0, 61) steps up as "=", keypad PgDn (0, 81) quits as "Q".
  keys.press(at, 0);
  press(61, +1);
  keys.press(at, 0);
  keys.press(at, 81);
  bench.world().set_deadline(from_ms(7'200'000));
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);
  EXPECT_FALSE(bench.world().port_open());

  std::string expected_screen;
  for (int r : expected_rows)
    expected_screen += std::string(" ") + wendro::rate(r).label + " Hz\n";
  EXPECT_EQ(keys.screen(), expected_screen);

  std::vector<PortCall> settings = calls_of(bench, PortOp::kSetCommState);
  ASSERT_EQ(settings.size(), expected_rows.size());
  for (std::size_t i = 0; i < settings.size(); ++i) {
    const wendro::Rate& rate = wendro::rate(expected_rows[i]);
    EXPECT_EQ(settings[i].dcb.BaudRate, rate.baud) << "setting " << i;
    EXPECT_EQ(settings[i].dcb.ByteSize, 8);
    EXPECT_EQ(settings[i].dcb.Parity, rate.parity);
    EXPECT_EQ(settings[i].dcb.StopBits, rate.stop_bits);
  }

  for (std::size_t i = 1; i < settings.size(); ++i) {
    Tick set_at = settings[i].at;
    Tick next_set = i + 1 < settings.size() ? settings[i + 1].at : sim::kNever;
    std::vector<SentFrame> before = frames_between(bench, 0, set_at);
    std::vector<SentFrame> after = frames_between(bench, set_at, next_set);
    ASSERT_FALSE(before.empty());
    ASSERT_FALSE(after.empty());
    EXPECT_EQ(after.front().format.baud, settings[i].dcb.BaudRate);
    EXPECT_EQ(after.front().byte, wendro::rate(expected_rows[i]).fill);
    EXPECT_EQ(after.front().start, before.back().end) << "idle at step " << i;
    EXPECT_LE(after.front().start - set_at, before.back().format.frame_ticks());
  }
}

TEST(Wendro, WriteLengthGrowsFrom240To256BetweenRows11And12) {
  Bench bench;
  for (int code : {'-', '-', '+'})  // 13 -> 12 -> 11 -> 12
    bench.keyboard().press(from_ms(1000), code);
  bench.keyboard().press(from_ms(9000), 'q');
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);
  EXPECT_EQ(bench.keyboard().screen(), "   800 Hz\n   600 Hz\n   480 Hz\n   600 Hz\n");

  // The length of every write after each setting: all writes at a row are the same length.
  std::vector<std::vector<std::uint32_t>> lengths;
  for (const PortCall& call : bench.world().calls()) {
    if (call.op == PortOp::kSetCommState) lengths.emplace_back();
    if (call.op == PortOp::kWrite && !lengths.empty()) lengths.back().push_back(call.value);
  }
  const std::uint32_t expected[] = {256, 256, 240, 256};
  ASSERT_EQ(lengths.size(), 4u);
  for (std::size_t row = 0; row < 4; ++row) {
    ASSERT_FALSE(lengths[row].empty());
    for (std::uint32_t length : lengths[row])
      EXPECT_EQ(length, expected[row]) << "after setting " << row;
  }
}

// A port that cannot do 56000 baud: the step to row 23 changes nothing on the line or the screen,
// and the next step moves on from there to row 24.
TEST(Wendro, RefusedRowKeepsTheOldWaveAndTheNextStepMovesOn) {
  Bench bench;
  bench.world().set_refusal([](const serial::DCB& dcb) { return dcb.BaudRate == 56000; });
  press_steps_to(bench, 0, 22);
  const Tick refused_key = from_ms(10'000), next_key = from_ms(14'000);
  bench.keyboard().press(refused_key, '+');
  bench.keyboard().press(next_key, '+');
  bench.keyboard().press(from_ms(16'000), 'q');
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);

  const std::string& screen = bench.keyboard().screen();
  EXPECT_EQ(screen.substr(screen.size() - 20), "  4800 Hz\n  5760 Hz\n");
  EXPECT_EQ(screen.find("5600"), std::string::npos);

  std::vector<PortCall> settings = calls_of(bench, PortOp::kSetCommState);
  ASSERT_EQ(settings.size(), 12u);
  const PortCall& refused = settings[10];
  const PortCall& moved_on = settings[11];
  EXPECT_EQ(refused.dcb.BaudRate, 56000u);
  EXPECT_FALSE(refused.ok);
  EXPECT_EQ(moved_on.dcb.BaudRate, 57600u);
  EXPECT_TRUE(moved_on.ok);

  // From row 22's setting to row 24's, one 4800 Hz wave with no gap, through the refusal.
  std::vector<SentFrame> frames = frames_between(bench, settings[9].at, moved_on.at);
  EXPECT_NEAR(check_square_wave(bench, frames), 4800.0, 1e-6);
  EXPECT_GT(frames.back().end, refused.at + from_ms(3000));
  EXPECT_EQ(frames_between(bench, moved_on.at, sim::kNever).front().format.baud, 57600u);
}

TEST(Wendro, FirstRowRefusedEndsWithStatus4AndPrintsNothing) {
  Bench bench;
  bench.world().set_refusal([](const serial::DCB&) { return true; });
  bench.keyboard().press(0, '+');
  EXPECT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kSettingsRefused);
  EXPECT_EQ(bench.keyboard().screen(), "");
  EXPECT_FALSE(bench.world().port_open());
  EXPECT_TRUE(calls_of(bench, PortOp::kWrite).empty());
  EXPECT_EQ(calls_of(bench, PortOp::kSetCommState).size(), 1u);
  EXPECT_TRUE(bench.world().frames().empty());
}

TEST(Wendro, UsageAndFailedStartsPassThrough) {
  Bench none;
  EXPECT_EQ(none.run(wendro::run, "wendro", {}), serial::kWrongArgumentCount);
  EXPECT_EQ(none.keyboard().screen(), "  usage: wendro port\n");
  Bench absent;
  EXPECT_EQ(absent.run(wendro::run, "wendro", {"2"}), serial::kPortNotOpened);
  Bench unreadable;
  unreadable.world().set_settings_unreadable(true);
  EXPECT_EQ(unreadable.run(wendro::run, "wendro", {"1"}), serial::kSettingsNotRead);
  EXPECT_FALSE(unreadable.world().port_open());
  EXPECT_EQ(absent.keyboard().screen() + unreadable.keyboard().screen(), "");
}

// Keys are read between writes, so a key waits at most for the write running when it comes. Row 6
// has the longest write (140 frames of 10 bits at 300 baud); keys arrive all through its writes.
TEST(Wendro, AKeyWaitsNoLongerThanOneWrite) {
  Bench bench;
  for (int i = 0; i < 7; ++i)  // 13 -> 6, one key per write
    bench.keyboard().press(from_ms(1000 + 6000 * i), '-');
  for (int i = 0; i < 12; ++i)
    bench.keyboard().press(from_ms(50'000 + 770 * i), 'x');
  bench.keyboard().press(from_ms(60'000), 'q');
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);
  EXPECT_EQ(bench.keyboard().printed().back().text, "   150 Hz\n");

  // The longest write of the run, from its length and the framing in force.
  Tick longest_write = 0;
  sim::FrameFormat format;
  for (const PortCall& call : bench.world().calls()) {
    if (call.op == PortOp::kSetCommState && call.ok)
      format = {call.dcb.BaudRate, call.dcb.ByteSize, call.dcb.Parity, call.dcb.StopBits};
    if (call.op == PortOp::kWrite)
      longest_write = std::max<Tick>(longest_write, call.value * format.frame_ticks());
  }
  EXPECT_EQ(longest_write, 140 * 10 * sim::bit_ticks(300));
  EXPECT_LE(bench.keyboard().longest_key_wait(), longest_write);
  EXPECT_GT(bench.keyboard().longest_key_wait(), longest_write * 3 / 4);
}

TEST(WendroTable, KeysMapToSteps) {
  using wendro::Step;
  EXPECT_EQ(wendro::step_for_key('+'), Step::kUp);
  EXPECT_EQ(wendro::step_for_key('='), Step::kUp);
  EXPECT_EQ(wendro::step_for_key('-'), Step::kDown);
  EXPECT_EQ(wendro::step_for_key('_'), Step::kDown);
  EXPECT_EQ(wendro::step_for_key('q'), Step::kQuit);
  EXPECT_EQ(wendro::step_for_key('Q'), Step::kQuit);
  for (int code : {0, 13, 27, 72, 80, 224, int{'a'}, int{' '}})
    EXPECT_EQ(wendro::step_for_key(code), Step::kNone) << code;
  EXPECT_EQ(wendro::step_for_extended_key(72), Step::kUp);
  for (int code : {80, 75, 77, 0, 224})
    EXPECT_EQ(wendro::step_for_extended_key(code), Step::kDown) << code;
}

}  // namespace

// Back as a port that refuses the row on the screen: the line stays silent, as the old buffer at
// the rate the port now runs would be a frequency the screen does not show, until a key applies
// one.
TEST(WendroAway, StaysSilentWhenTheReturnedPortRefusesTheRowUntilAKeyAppliesOne) {
  Bench bench;
  sim::World& world = bench.world();
  world.set_away(from_ms(1000), from_ms(1500));
  world.set_refusal([&world](const serial::DCB& dcb) {
    return world.now() > from_ms(1500) && dcb.Parity == serial::EVENPARITY;
  });
  bench.keyboard().press(from_ms(2500), '+');  // 960 Hz, 8N1
  bench.keyboard().press(from_ms(3000), 'q');
  ASSERT_EQ(bench.run(wendro::run, "wendro", {"1"}), serial::kQuitByUser);
  EXPECT_EQ(bench.keyboard().screen(), "   800 Hz\n   960 Hz\n");
  EXPECT_TRUE(frames_between(bench, from_ms(1300), from_ms(2500)).empty());
  EXPECT_NEAR(check_square_wave(bench, frames_between(bench, from_ms(2500), from_ms(3000))), 960.0,
              1e-6);
}
