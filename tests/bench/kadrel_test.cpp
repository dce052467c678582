// kadrel on the bench: a loop-back switch joins the transmit line to the receive line for a known
// time, and the tool must report that time. Expected values come from the switch's timing and from
// what the receiver saw, not from the tool's own tables.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iostream>
#include <random>
#include <string>
#include <vector>

#include "bench.h"
#include "circuit.h"
#include "kadrel.h"
#include "timeline.h"

namespace {

using sim::Tick;

constexpr Tick kBit = sim::bit_ticks(38400);
constexpr Tick kFrame = 10 * kBit;  // start, eight data bits, stop
constexpr Tick kPulse = 2 * kBit;   // 1/19200 s

std::string report_line(double seconds) {
  char text[64];
  std::snprintf(text, sizeof text, "  %3.3f Sec.\n", seconds);
  return text;
}

// Pulses a received byte holds, counted from its levels: the start bit and every 0 data bit is one
// low bit time, and each is followed by a high one.
int pulses_in(std::uint8_t byte) {
  int pulses = 1;
  for (int bit = 0; bit < 8; ++bit)
    pulses += ((byte >> bit) & 1) == 0;
  return pulses;
}

TEST(KadrelArithmetic, CutLastFrameCountsOnlyThePulsesItHeld) {
  // The bytes a 0x55 frame reads as when the line returns to 1 after 1..4 pulses.
  EXPECT_EQ(kadrel::pulses_in_last_frame(0xFF), 1u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0xFD), 2u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0xF5), 3u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0xD5), 4u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0x55), 5u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0x00), 5u);
  EXPECT_EQ(kadrel::pulses_in_last_frame(0xFE), 5u);
  for (std::uint8_t cut : {0xFF, 0xFD, 0xF5, 0xD5, 0x55})
    EXPECT_EQ(kadrel::pulses_in_last_frame(cut), static_cast<std::uint32_t>(pulses_in(cut)));

  EXPECT_EQ(kadrel::measurement_units(0, 384, 0x55), 1920u);
  EXPECT_EQ(kadrel::measurement_units(1, 384, 0x55), 5760u);
  EXPECT_EQ(kadrel::measurement_units(1, 384, 0xFD), 5757u);
  EXPECT_EQ(kadrel::measurement_units(2, 0, 0xFD), 7680u);  // no final bytes, no last byte
  EXPECT_EQ(kadrel::measurement_units(0, 1, 0xFF), 1u);
  // Unsigned 32-bit: 1118482 full reads are 4294970880 units, which wrap to 3584.
  EXPECT_EQ(kadrel::measurement_units(1118482, 0, 0), 3584u);

  EXPECT_EQ(report_line(kadrel::units_to_seconds(5760)), "  0.300 Sec.\n");
  EXPECT_EQ(report_line(kadrel::units_to_seconds(19200u * 3600u)), "  3600.000 Sec.\n");
}

class KadrelBench : public ::testing::Test {
 protected:
  void SetUp() override { bench.world().attach(&loop); }

  // The stream starts with the tool at time 0 and runs without gaps, so frame n starts here.
  static Tick frame_start(long n) { return static_cast<Tick>(n) * kFrame; }

  int run_until_key(Tick at, int code = 'q') {
    bench.keyboard().press(at, code);
    return bench.run(kadrel::run, "kadrel", {"1"});
  }

  // When the text containing `needle` (a dot: the dot itself) was printed; kNever when it was
  // not.
  Tick printed_at(const std::string& needle, int occurrence = 0) {
    for (const sim::Printed& p : bench.keyboard().printed()) {
      bool match = needle == "." ? p.text == needle : p.text.find(needle) != std::string::npos;
      if (match && occurrence-- == 0) return p.at;
    }
    return sim::kNever;
  }

  Tick close_time() {
    for (const sim::PortCall& call : bench.world().calls())
      if (call.op == sim::PortOp::kClose) return call.at;
    return sim::kNever;
  }

  const std::string& screen() { return bench.keyboard().screen(); }

  sim::Bench bench;
  sim::LoopbackSwitch loop;
};

TEST_F(KadrelBench, OpensForOverlappedUseAt38400AndKeepsAnEndlessStreamGoing) {
  ASSERT_EQ(run_until_key(sim::from_ms(1500)), 0);
  sim::World& world = bench.world();
  EXPECT_EQ(world.opened_name(), "COM1");
  EXPECT_EQ(world.opened_access(), serial::GENERIC_READ | serial::GENERIC_WRITE);
  EXPECT_EQ(world.opened_flags(), serial::FILE_FLAG_OVERLAPPED);
  EXPECT_EQ(world.format().baud, 38400u);
  EXPECT_EQ(world.format().data_bits, 8);
  EXPECT_EQ(world.format().parity, serial::NOPARITY);
  EXPECT_EQ(world.format().stop_bits, serial::ONESTOPBIT);
  bool interval_set = false;
  for (const sim::PortCall& call : world.calls())
    interval_set |= call.op == sim::PortOp::kSetCommTimeouts && call.value == 200;
  EXPECT_TRUE(interval_set);

  // 19200 pulses a second, every frame 0x55 and each starting where the last one ended.
  const auto& frames = world.frames();
  ASSERT_GT(frames.size(), 5000u);
  EXPECT_EQ(frames[0].start, 0);
  for (std::size_t i = 0; i < frames.size(); ++i) {
    ASSERT_EQ(frames[i].byte, 0x55) << "frame " << i;
    if (i > 0) {
      ASSERT_EQ(frames[i].start, frames[i - 1].end) << "gap before frame " << i;
    }
  }
  EXPECT_EQ(sim::count_pulses(world.tx(), sim::from_ms(100), sim::from_ms(1100)), 19200u);
  // Nothing came back, so nothing is shown; the key ended it at once with the port closed.
  EXPECT_EQ(screen(), "");
  EXPECT_FALSE(world.port_open());
  EXPECT_LT(close_time() - sim::from_ms(1500), sim::from_us(100));
}

TEST_F(KadrelBench, WrongArgumentCountShowsUsageAndOpensNothing) {
  EXPECT_EQ(bench.run(kadrel::run, "kadrel", {}), serial::kWrongArgumentCount);
  EXPECT_EQ(bench.run(kadrel::run, "kadrel", {"1", "2"}), serial::kWrongArgumentCount);
  EXPECT_EQ(screen(), "  usage: kadrel port\n  usage: kadrel port\n");
  EXPECT_TRUE(bench.world().calls().empty());
}

TEST_F(KadrelBench, ReportsShortAndMultiReadStreamsAfterTheySettle) {
  // 384 frames back, then 1152, then 1535: the last read of that one ends short just under
  // 400 ms after the full read before it, and still belongs to the same measurement.
  Tick first_open = frame_start(1000 + 384);
  Tick second_open = frame_start(20000 + 1152);
  loop.close_between(frame_start(1000), first_open);
  loop.close_between(frame_start(20000), second_open);
  loop.close_between(frame_start(40000), frame_start(40000 + 1535));
  ASSERT_EQ(run_until_key(sim::from_ms(12000)), 0);

  EXPECT_EQ(screen(), "  0.100 Sec.\n.  0.300 Sec.\n.  0.400 Sec.\n");
  // The dot comes when the first 768 bytes are in, 0.2 s into the second stream.
  Tick dot = printed_at(".");
  EXPECT_GT(dot, frame_start(20000 + 767));
  EXPECT_LT(dot, frame_start(20000 + 769));
  // Each report waits for the port's 200 ms interval and 200 ms more of settling, and no longer.
  for (auto [occurrence, opened] : {std::pair{0, first_open}, std::pair{1, second_open}}) {
    Tick delay = printed_at("Sec.", occurrence) - opened;
    EXPECT_GT(delay, sim::from_ms(400)) << "report " << occurrence;
    EXPECT_LT(delay, sim::from_ms(403)) << "report " << occurrence;
  }
}

TEST_F(KadrelBench, CutLastFrameCountsThePulsesItHeld) {
  // 769 whole frames, then the switch opens after two pulses of the next one: that frame comes
  // back as 0xFD. 769 * 5 + 2 = 3847 units = 0.20036 s; counted as a whole frame it would print
  // 0.201.
  Tick closed = frame_start(500);
  Tick opened = frame_start(500 + 769) + 2 * kPulse;
  loop.close_between(closed, opened);
  ASSERT_EQ(run_until_key(sim::from_ms(2000)), 0);
  ASSERT_EQ(bench.world().received().size(), 770u);
  EXPECT_EQ(bench.world().received().back().value, 0xFD);
  EXPECT_EQ(screen(), ".  0.200 Sec.\n");
  EXPECT_EQ(screen(), "." + report_line(sim::to_seconds(opened - closed)));
}

TEST_F(KadrelBench, StreamEndingOnAReadBoundaryIsReportedOnceAndApartFromTheNext) {
  // Exactly 768 frames come back: the read after the full one stays empty. Then, 1.5 s later, a
  // stream of 384 frames, and after that exactly two reads' worth.
  Tick first_open = frame_start(1000 + 768);
  Tick third_open = frame_start(40000 + 1536);
  loop.close_between(frame_start(1000), first_open);
  loop.close_between(first_open + sim::from_ms(1500),
                     first_open + sim::from_ms(1500) + 384 * kFrame);
  loop.close_between(frame_start(40000), third_open);
  ASSERT_EQ(run_until_key(sim::from_ms(12000)), 0);

  EXPECT_EQ(screen(), ".  0.200 Sec.\n  0.100 Sec.\n..  0.400 Sec.\n");
  // Those two come a little over 500 ms after the stream stopped, when no read can still end.
  for (auto [occurrence, opened] : {std::pair{0, first_open}, std::pair{2, third_open}}) {
    Tick delay = printed_at("Sec.", occurrence) - opened;
    EXPECT_GT(delay, sim::from_ms(500)) << "report " << occurrence;
    EXPECT_LT(delay, sim::from_ms(502)) << "report " << occurrence;
  }
}

TEST_F(KadrelBench, ASlowReturningStreamIsOneMeasurement) {
  // An intermittent contact passes 2800 whole frames, 1400 a second: each read takes 549 ms to
  // fill, longer than the 500 ms after which a read still empty means the stream has stopped.
  constexpr long kFirst = 1000;
  constexpr long kPassed = 2800;
  for (long k = 0; k < kPassed; ++k) {
    long n = kFirst + k * 3840 / 1400;
    loop.close_between(frame_start(n), frame_start(n + 1));
  }
  ASSERT_EQ(run_until_key(sim::from_ms(3500)), 0);
  ASSERT_EQ(bench.world().received().size(), static_cast<std::size_t>(kPassed));
  EXPECT_EQ(screen(), "..." + report_line(kPassed * 5 / 19200.0));

  // The same on a port that says 0 for every running read, as Windows' own driver does.
  sim::Bench hidden;
  hidden.world().attach(&loop);
  hidden.world().set_running_read_count_hidden(true);
  hidden.keyboard().press(sim::from_ms(3500), 'q');
  ASSERT_EQ(hidden.run(kadrel::run, "kadrel", {"1"}), 0);
  EXPECT_EQ(hidden.keyboard().screen(), "..." + report_line(kPassed * 5 / 19200.0));
}

TEST_F(KadrelBench, PassesOnlyForNewsAndKeepsEachMomentToTheMillisecond) {
  // A pass that changed nothing waits for the next write's end (15 a second), a read's first
  // byte or end, a key or the loop's own moment. A loop that polls makes a pass per 30 us.
  Tick opened = frame_start(1000 + 1152);
  loop.close_between(frame_start(1000), opened);
  ASSERT_EQ(run_until_key(sim::from_ms(3000)), 0);
  EXPECT_EQ(screen(), ".  0.300 Sec.\n");
  double passes_per_second = static_cast<double>(bench.world().polls()) / 2 / 3;
  EXPECT_LT(passes_per_second, 1000);
  // The read ends 200 ms after its last byte, the report comes the millisecond its settle of
  // 200 ms is over: no later than 401 ms after the last frame, and a little for the receiver.
  Tick delay = printed_at("Sec.") - opened;
  EXPECT_GT(delay, sim::from_ms(400));
  EXPECT_LT(delay, sim::from_ms(401.1));
  std::cout << passes_per_second << " passes a second, report " << sim::to_ms(delay)
            << " ms after the stream stopped" << std::endl;
}

TEST(KadrelKeys, QuitKeysEndWithThePortClosed) {
  struct Case {
    const char* name;
    std::vector<int> codes;
  };
  const Case cases[] = {
      {"q", {'q'}}, {"Q", {'Q'}}, {"Page Down", {224, 81}}, {"prefix 0, code 113", {0, 113}}};
  for (const Case& c : cases) {
    sim::Bench fresh;
    sim::Tick at = sim::from_ms(300);
    for (int code : c.codes)
      fresh.keyboard().press(at, code);
    EXPECT_EQ(fresh.run(kadrel::run, "kadrel", {"1"}), 0) << c.name;
    EXPECT_FALSE(fresh.world().port_open()) << c.name;
    const sim::PortCall& last = fresh.world().calls().back();
    EXPECT_EQ(last.op, sim::PortOp::kClose) << c.name;
    EXPECT_LT(last.at - at, sim::from_us(200)) << c.name;
    EXPECT_EQ(fresh.keyboard().unread_input(), 0u) << c.name;
  }
}

TEST_F(KadrelBench, OtherKeysAreDroppedAndMeasuringGoesOn) {
  Tick at = sim::from_ms(100);
  for (int code : {int{'x'}, 27, 13, int{' '}, int{'w'}})
    bench.keyboard().press(at, code);
  bench.keyboard().press_extended(at, 224, 72);  // Up
  bench.keyboard().press_extended(at, 0, 59);    // F1
  // Keys arriving while a measurement runs do not disturb it.
  loop.close_between(frame_start(100), frame_start(100 + 1152));
  bench.keyboard().press(frame_start(100 + 400), 'a');
  ASSERT_EQ(run_until_key(sim::from_ms(1500)), 0);
  EXPECT_EQ(screen(), ".  0.300 Sec.\n");
  EXPECT_LT(close_time() - sim::from_ms(1500), sim::from_us(100));
  // One code per pass, so nine codes at one instant are all gone within a few passes.
  EXPECT_LT(bench.keyboard().longest_key_wait(), sim::from_us(500));
}

// 200 closures of random length from 1 ms to 5 s at a random phase against the frames, drawn once
// from a fixed seed. Each report must be within two pulses of the closed time before rounding, and
// within 0.001 s as printed. The sweep runs in four parts so that a test run can spread them.
struct Closure {
  Tick length;
  Tick phase;
};
constexpr int kClosures = 200;
constexpr int kSweepParts = 4;

const std::vector<Closure>& sweep() {
  static const std::vector<Closure> closures = [] {
    std::mt19937 random(20240607u);
    std::uniform_int_distribution<Tick> length(sim::from_ms(1), sim::from_ms(5000));
    std::uniform_int_distribution<Tick> phase(0, kFrame - 1);
    std::vector<Closure> drawn;
    for (int i = 0; i < kClosures; ++i) {
      Tick l = length(random);
      drawn.push_back({l, phase(random)});
    }
    return drawn;
  }();
  return closures;
}

class KadrelAccuracy : public ::testing::TestWithParam<int> {};

TEST_P(KadrelAccuracy, RandomClosuresAreMeasuredWithinTwoPulses) {
  const int first = GetParam() * kClosures / kSweepParts;
  const int end = (GetParam() + 1) * kClosures / kSweepParts;
  double worst_units_error = 0;
  double worst_printed_error = 0;
  Tick shortest_delay = sim::kNever;
  Tick longest_delay = 0;
  int boundary_cases = 0;

  for (int i = first; i < end; ++i) {
    Tick closed_for = sweep()[i].length;
    Tick closed = sim::from_ms(20) + sweep()[i].phase;
    Tick opened = closed + closed_for;
    sim::Bench bench;
    sim::LoopbackSwitch loop;
    loop.close_between(closed, opened);
    bench.world().attach(&loop);
    // A pass of the loop costs three polls; at 50 us each it still restarts every write well
    // within the one frame (260 us) the port holds, and the sweep runs five times faster.
    bench.world().set_poll_cost(sim::from_us(50));
    bench.keyboard().press(opened + sim::from_ms(600), 'q');
    ASSERT_EQ(bench.run(kadrel::run, "kadrel", {"1"}), 0) << "closure " << i;

    // What came back, counted from the levels of every received byte.
    long units = 0;
    std::size_t bytes = 0;
    for (const sim::ReceivedByte& byte : bench.world().received()) {
      ASSERT_FALSE(byte.framing_error) << "closure " << i;
      units += pulses_in(byte.value);
      ++bytes;
    }
    double closed_seconds = sim::to_seconds(closed_for);
    double units_error = std::abs(static_cast<double>(units) - closed_seconds * 19200);
    EXPECT_LE(units_error, 2.0) << "closure " << i << " of " << closed_seconds << " s";
    worst_units_error = std::max(worst_units_error, units_error);

    std::string report = report_line(units / 19200.0);
    std::string dots(bytes / 768, '.');
    ASSERT_EQ(bench.keyboard().screen(), dots + report)
        << "closure " << i << " of " << closed_seconds << " s, " << bytes << " bytes";
    double printed = 0;
    ASSERT_EQ(std::sscanf(report.c_str(), " %lf", &printed), 1);
    double printed_error = std::abs(printed - closed_seconds);
    EXPECT_LE(printed_error, 0.001) << "closure " << i;
    worst_printed_error = std::max(worst_printed_error, printed_error);

    Tick reported_at = sim::kNever;
    for (const sim::Printed& p : bench.keyboard().printed())
      if (p.text == report) reported_at = p.at;
    Tick delay = reported_at - opened;
    EXPECT_GT(delay, sim::from_ms(400)) << "closure " << i;
    shortest_delay = std::min(shortest_delay, delay);
    longest_delay = std::max(longest_delay, delay);
    boundary_cases += bytes % 768 == 0;
  }

  char summary[256];
  std::snprintf(summary, sizeof summary,
                "closures %d..%d: worst error %.3f pulses (%.1f us) before rounding, %.6f s as "
                "printed; report %.1f..%.1f ms after the switch opened; %d on a read boundary",
                first, end - 1, worst_units_error, worst_units_error * 1e6 / 19200,
                worst_printed_error, sim::to_ms(shortest_delay), sim::to_ms(longest_delay),
                boundary_cases);
  std::cout << summary << std::endl;
  ::testing::Test::RecordProperty("accuracy", summary);
}

INSTANTIATE_TEST_SUITE_P(Sweep, KadrelAccuracy, ::testing::Range(0, kSweepParts));

}  // namespace
