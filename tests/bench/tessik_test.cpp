// tessik on the bench: what the line carries for each typed count, judged from the level timeline.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench.h"
#include "tessik.h"
#include "timeline.h"

namespace {

using sim::Bench;
using sim::PortOp;
using sim::Tick;

// One burst as an oscilloscope sees it: from the write that starts it to the next write.
struct Burst {
  Tick start;
  Tick end;
  std::size_t pulses;
  std::size_t frames;
  bool all_frames_600_8n1;
};

std::vector<Burst> bursts(const sim::World& world) {
  std::vector<Tick> starts;
  for (const auto& call : world.calls())
    if (call.op == PortOp::kWrite) starts.push_back(call.at);
  std::vector<Burst> result;
  const auto& frames = world.frames();  // in time order
  std::size_t f = 0;
  for (std::size_t i = 0; i < starts.size(); ++i) {
    Tick end = i + 1 < starts.size() ? starts[i + 1] : world.now() + 1;
    Burst burst{starts[i], end, sim::count_pulses(world.tx(), starts[i], end), 0, true};
    for (; f < frames.size() && frames[f].start < end; ++f) {
      const sim::SentFrame& frame = frames[f];
      if (frame.start < starts[i]) continue;
      ++burst.frames;
      burst.all_frames_600_8n1 &= frame.format.baud == 600 && frame.format.data_bits == 8 &&
                                  frame.format.parity == serial::NOPARITY &&
                                  frame.format.stop_bits == serial::ONESTOPBIT;
    }
    result.push_back(burst);
  }
  return result;
}

int run_tessik(Bench& bench, const std::string& input) {
  bench.keyboard().type(0, input);
  return bench.run(tessik::run, "tessik", {"1"});
}

TEST(TessikBursts, EveryCountFromOneTo1280PutsExactlyThatManyPulsesOnTheLine) {
  Bench bench;
  bench.world().set_deadline(sim::from_ms(10'000'000));  // over an hour of bursts and tones
  std::string input;
  for (int n = 1; n <= tessik::kMaxPulses; ++n)
    input += std::to_string(n) + "\n";
  ASSERT_EQ(run_tessik(bench, input + "q\n"), 0);

  std::vector<Burst> seen = bursts(bench.world());
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(tessik::kMaxPulses));
  const auto& tones = bench.screen().tones();
  ASSERT_EQ(tones.size(), seen.size());
  for (int n = 1; n <= tessik::kMaxPulses; ++n) {
    const Burst& burst = seen[n - 1];
    SCOPED_TRACE("count " + std::to_string(n));
    EXPECT_EQ(burst.pulses, static_cast<std::size_t>(n));
    EXPECT_EQ(burst.frames, static_cast<std::size_t>((n + 4) / 5));
    EXPECT_TRUE(burst.all_frames_600_8n1);
    // Then a one-second tone at 800 Hz, within the burst's window.
    EXPECT_EQ(tones[n - 1].frequency_hz, 800u);
    EXPECT_EQ(tones[n - 1].duration_ms, 1000u);
    EXPECT_GE(tones[n - 1].at, burst.start);
    EXPECT_LT(tones[n - 1].at, burst.end);
  }
  EXPECT_FALSE(bench.world().port_open());
}

TEST(TessikBursts, BurstIsOneEvenTrainAtThreeHundredPulsesPerSecond) {
  Bench bench;
  ASSERT_EQ(run_tessik(bench, "1280\nq\n"), 0);
  const auto& frames = bench.world().frames();
  ASSERT_EQ(frames.size(), 256u);
  sim::WaveMeasurement wave = sim::measure_wave(bench.world().tx(), 0, frames.back().end);
  EXPECT_EQ(wave.periods, 1279u);
  EXPECT_NEAR(wave.frequency_hz, 300.0, 1e-9);
  EXPECT_NEAR(wave.duty_cycle, 0.5, 1e-9);
  EXPECT_EQ(wave.shortest_period, wave.longest_period);
}

TEST(TessikBursts, CountsAbove1280GiveTheFullBuffer) {
  Bench bench;
  ASSERT_EQ(run_tessik(bench, "1281\n5000\n99999999999999999999999\n+2147483648\nq\n"), 0);
  std::vector<Burst> seen = bursts(bench.world());
  ASSERT_EQ(seen.size(), 4u);
  for (const Burst& burst : seen) {
    EXPECT_EQ(burst.pulses, 1280u);
    EXPECT_EQ(burst.frames, 256u);
  }
}

TEST(TessikBursts, UnusableCountsSendNothingSoundNothingAndPromptAgain) {
  Bench bench;
  ASSERT_EQ(run_tessik(bench, "0\n-5\nabc\n\n   \n-99999999999999999999\n+\nq\n"), 0);
  EXPECT_TRUE(bench.world().frames().empty());
  EXPECT_TRUE(bench.screen().tones().empty());
  EXPECT_EQ(bench.screen().screen(), std::string(8, '>'));
}

TEST(TessikBursts, CountIsReadLikeAtoi) {
  Bench bench;
  ASSERT_EQ(run_tessik(bench, " 12x\n\t+7\n0012\n3.9\n"), 0);
  std::vector<Burst> seen = bursts(bench.world());
  ASSERT_EQ(seen.size(), 4u);
  EXPECT_EQ(seen[0].pulses, 12u);
  EXPECT_EQ(seen[0].frames, 3u);
  EXPECT_EQ(seen[1].pulses, 7u);
  EXPECT_EQ(seen[2].pulses, 12u);
  EXPECT_EQ(seen[3].pulses, 3u);
}

TEST(TessikQuit, ALineStartingWithQClosesThePortWithStatusZero) {
  for (const char* quit : {"q\n", "Q\n", "quit\n", "Qx 12\n"}) {
    Bench bench;
    ASSERT_EQ(run_tessik(bench, std::string("3\n") + quit + "5\n"), 0) << quit;
    EXPECT_EQ(bursts(bench.world()).size(), 1u);
    EXPECT_FALSE(bench.world().port_open());
    EXPECT_EQ(bench.world().calls().back().op, PortOp::kClose);
    EXPECT_EQ(bench.keyboard().unread_input(), 2u);  // "5\n" is never read
    EXPECT_EQ(bench.screen().screen(), ">>");
  }
}

TEST(TessikQuit, EndOfInputClosesThePortWithStatusZero) {
  for (const char* input : {"", "4\n", "4"}) {
    Bench bench;
    ASSERT_EQ(run_tessik(bench, input), 0);
    EXPECT_FALSE(bench.world().port_open());
  }
  Bench bench;
  ASSERT_EQ(run_tessik(bench, "4"), 0);
  EXPECT_EQ(bursts(bench.world()).size(), 1u);  // a last line without newline still counts
}

TEST(TessikInput, AVeryLongLineCountsByItsFirst255CharactersAndHarmsNothing) {
  Bench bench;
  // 255 characters of "0...07" would count 7; what follows is dropped with the line.
  std::string long_line = std::string(254, '0') + "7" + std::string(4745, '9');
  ASSERT_EQ(long_line.size(), 5000u);
  ASSERT_EQ(run_tessik(bench, long_line + "\n" + std::string(5000, 'x') + "\n2\nq\n"), 0);
  std::vector<Burst> seen = bursts(bench.world());
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen[0].pulses, 7u);
  EXPECT_EQ(seen[1].pulses, 2u);
  EXPECT_EQ(bench.screen().screen(), ">>>>");
}

TEST(TessikStart, SetsSixHundredBaudEightNoneOneAndReportsStartFailures) {
  {
    Bench bench;
    EXPECT_EQ(bench.run(tessik::run, "tessik", {}), 1);
    EXPECT_EQ(bench.screen().screen(), "  usage: tessik port\n");
  }
  {
    Bench bench;
    EXPECT_EQ(bench.run(tessik::run, "tessik", {"2"}), 2);
    EXPECT_TRUE(bench.screen().screen().empty());
  }
  {
    Bench bench;
    bench.world().set_refusal([](const serial::DCB&) { return true; });
    EXPECT_EQ(bench.run(tessik::run, "tessik", {"1"}), 4);
    EXPECT_TRUE(bench.screen().screen().empty());
  }
  Bench bench;
  bench.keyboard().type(0, "q\n");
  ASSERT_EQ(bench.run(tessik::run, "tessik", {"1"}), 0);
  EXPECT_EQ(bench.world().opened_access(), serial::GENERIC_WRITE);
  EXPECT_EQ(bench.world().opened_flags(), 0u);
  const sim::FrameFormat& format = bench.world().format();
  EXPECT_EQ(format.baud, 600u);
  EXPECT_EQ(format.data_bits, 8);
  EXPECT_EQ(format.parity, serial::NOPARITY);
  EXPECT_EQ(format.stop_bits, serial::ONESTOPBIT);
}

TEST(TessikBurstBuilder, BytesForTheNamedCounts) {
  std::uint8_t buffer[tessik::kBufferSize];
  auto burst = [&](int n) {
    return std::vector<std::uint8_t>(buffer, buffer + tessik::build_burst(n, buffer));
  };
  EXPECT_EQ(burst(1), (std::vector<std::uint8_t>{0xFF}));
  EXPECT_EQ(burst(5), (std::vector<std::uint8_t>{0x55}));
  EXPECT_EQ(burst(6), (std::vector<std::uint8_t>{0x55, 0xFF}));
  EXPECT_EQ(burst(14), (std::vector<std::uint8_t>{0x55, 0x55, 0xD5}));
  EXPECT_EQ(burst(1280), std::vector<std::uint8_t>(256, 0x55));
}

}  // namespace
