// The simulated port for users, run against a fake wall clock and a fake native console: how the
// world keeps in step with the clock, what each tool's rig notes, the waveform text, and that a
// long run keeps its memory bounded.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "kadrel.h"
#include "live_system.h"
#include "lorvel.h"
#include "tessik.h"
#include "vcd_writer.h"
#include "wendro.h"

namespace {

using sim::kTicksPerMs;
using sim::kTicksPerSecond;
using sim::Tick;
using sim::live::LiveSystem;

// Wall time that passes only when someone sleeps.
class FakeClock : public sim::live::WallClock {
 public:
  Tick elapsed() override { return now; }
  void sleep_ms(std::uint32_t ms) override { now += static_cast<Tick>(ms) * kTicksPerMs; }
  Tick now = 0;
};

// The native console: keys that arrive at given wall times, lines, captured output.
class FakeNative : public serial::Console {
 public:
  explicit FakeNative(FakeClock& clock) : clock_(clock) {}
  void key_at(double seconds, int code) {
    keys_.push_back({static_cast<Tick>(seconds * kTicksPerSecond), code});
  }
  void line(const std::string& text) { lines_.push_back(text); }

  bool _kbhit() override {
    if (stall_from >= 0 && clock_.now >= stall_from) {
      clock_.now += stall;  // the machine is busy elsewhere for a moment
      stall_from = -1;
    }
    return !keys_.empty() && keys_.front().first <= clock_.now;
  }
  int _getch() override {
    if (keys_.empty()) throw std::runtime_error("no key left");
    clock_.now = std::max(clock_.now, keys_.front().first);
    int code = keys_.front().second;
    keys_.pop_front();
    return code;
  }
  void _putch(int c) override { screen += static_cast<char>(c); }
  bool read_line(char* buffer, std::size_t size) override {
    if (lines_.empty()) return false;
    std::snprintf(buffer, size, "%s", lines_.front().c_str());
    lines_.pop_front();
    return true;
  }
  void write_text(const char* text, std::size_t length) override { screen.append(text, length); }
  void Beep(std::uint32_t, std::uint32_t ms) override { clock_.sleep_ms(ms); }
  void Sleep(std::uint32_t ms) override { clock_.sleep_ms(ms); }
  long clock() override { return static_cast<long>(clock_.now / kTicksPerMs); }

  std::string screen;
  Tick stall_from = -1;
  Tick stall = 0;

 private:
  FakeClock& clock_;
  std::deque<std::pair<Tick, int>> keys_;
  std::deque<std::string> lines_;
};

// One live run: the rig, the system on the fake clock and console, the notes taken.
struct LiveRun {
  explicit LiveRun(std::unique_ptr<sim::live::Rig> r, std::FILE* waveform = nullptr,
                   sim::live::NotesScreen screen = {})
      : rig(std::move(r)),
        system(
            native, clock, *rig, "COMs", [this](const std::string& l) { notes += l; }, waveform,
            screen) {}

  int run(serial::ToolEntry entry, const char* program) {
    const char* argv[] = {program, "sim", nullptr};
    int status = entry(2, argv, system);
    system.finish();
    return status;
  }

  FakeClock clock;
  FakeNative native{clock};
  std::unique_ptr<sim::live::Rig> rig;
  std::string notes;
  LiveSystem system;
};

std::vector<std::string> lines_of(const std::string& text, const std::string& prefix = "") {
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(start, end - start);
    if (!line.empty() && line.compare(0, prefix.size(), prefix) == 0) lines.push_back(line);
    start = end + 1;
  }
  return lines;
}

TEST(LivePortArgument, NamesTheSimulatedPortAndItsWaveformFile) {
  using sim::live::parse_port_argument;
  EXPECT_TRUE(parse_port_argument("sim").names_simulated_port);
  EXPECT_EQ(parse_port_argument("sim").waveform_path, "");
  EXPECT_TRUE(parse_port_argument("sim:trace.vcd").names_simulated_port);
  EXPECT_EQ(parse_port_argument("sim:/tmp/a b.vcd").waveform_path, "/tmp/a b.vcd");
  EXPECT_FALSE(parse_port_argument("simx").names_simulated_port);
  EXPECT_FALSE(parse_port_argument("1").names_simulated_port);
  EXPECT_FALSE(parse_port_argument("/dev/ttyUSB0").names_simulated_port);
  // What the start sequence makes of the argument is the simulated port's name.
  EXPECT_EQ(serial::device_name("sim:x.vcd"), "COMs");
}

TEST(LiveClockKeeping, TheWorldNeverRunsAheadOfTheWallClockAndKeepsUpWithIt) {
  LiveRun live(sim::live::make_rig("none", 1));
  sim::World& world = live.system.world();
  serial::Console& console = live.system.console();
  // The lead-in before the port can open is slept for real.
  EXPECT_GE(live.clock.now, world.now());

  Tick before = world.now();
  console.Sleep(500);
  EXPECT_EQ(world.now(), before + 500 * kTicksPerMs);
  EXPECT_GE(live.clock.now, world.now());
  EXPECT_LT(live.clock.now - world.now(), 2 * kTicksPerMs);

  // While the tool was away (a slow machine, a blocking read), the wall clock ran on: the next
  // call pulls the world up to it, less the slack.
  live.clock.now += 3 * kTicksPerSecond;
  console._kbhit();
  EXPECT_EQ(world.now(), live.clock.now - LiveSystem::kDefaultSlack);
  // A poll within the slack only costs its poll time.
  Tick at = world.now();
  console._kbhit();
  EXPECT_EQ(world.now(), at + world.poll_cost());
  EXPECT_EQ(console.clock(), static_cast<long>(world.now() / kTicksPerMs));
}

TEST(LiveTessik, NotesEachBurstsPulsesAndLengthAndLeavesTheToolsOutputAlone) {
  LiveRun live(sim::live::make_rig("tessik", 1));
  live.native.line("12");
  live.native.line("1280");
  live.native.line("q");
  EXPECT_EQ(live.run(tessik::run, "tessik"), 0);
  EXPECT_EQ(live.native.screen, ">>>");

  // N pulses of one bit low and one bit high at 600 baud: first fall to last rise is 2N - 1 bits.
  std::vector<std::string> notes = lines_of(live.notes, "[sim] burst");
  ASSERT_EQ(notes.size(), 2u) << live.notes;
  EXPECT_EQ(notes[0], "[sim] burst: 12 pulses in 38.333 ms (3 bytes at 600 baud 8N1)");
  EXPECT_EQ(notes[1], "[sim] burst: 1280 pulses in 4265.000 ms (256 bytes at 600 baud 8N1)");
  EXPECT_NE(live.notes.find("[sim] port closed after 259 bytes sent"), std::string::npos);
  // Paced: the 4.3 s burst and the two 1 s tones took their time on the wall clock.
  EXPECT_GE(live.clock.now, live.system.world().now());
  EXPECT_GT(live.clock.now, 6 * kTicksPerSecond);
}

TEST(LiveNotes, StartOnALineOfTheirOwnAfterAPromptOnTheSameScreen) {
  // {notes show where the output does, typed lines are echoed there}
  const sim::live::NotesScreen screens[] = {{true, false}, {true, true}, {false, false}};
  for (const sim::live::NotesScreen& screen : screens) {
    LiveRun live(sim::live::make_rig("tessik", 1), nullptr, screen);
    live.native.line("1");
    EXPECT_EQ(live.run(tessik::run, "tessik"), 0);
    EXPECT_EQ(live.native.screen, ">>");
    // One pulse at 600 baud: one bit low, 1/600 s from its fall to its rise.
    std::string burst = "[sim] burst: 1 pulse in 1.667 ms (1 byte at 600 baud 8N1)\n";
    std::string closed = "[sim] port closed after 1 byte sent\n";
    // Only an echoed line ends the prompt's line; the end of input does not.
    bool after_burst_prompt = screen.shared_with_output && !screen.input_echoed;
    std::string expected =
        (after_burst_prompt ? "\n" : "") + burst + (screen.shared_with_output ? "\n" : "") + closed;
    EXPECT_EQ(live.notes, expected) << screen.shared_with_output << screen.input_echoed;
  }
}

TEST(LiveWendro, MeasuresEachStepsWaveAndSeesNoIdleLine) {
  LiveRun live(sim::live::make_rig("wendro", 1));
  live.native.key_at(1.5, '+');
  live.native.key_at(3.5, '-');
  live.native.key_at(5.5, '-');
  live.native.key_at(7.5, 'q');
  EXPECT_EQ(live.run(wendro::run, "wendro"), 0);

  std::vector<std::string> notes = lines_of(live.notes, "[sim] wave");
  ASSERT_EQ(notes.size(), 4u) << live.notes;
  // 0x1C with even parity and two stop bits: two periods per 12-bit frame, baud / 6.
  EXPECT_EQ(notes[0].rfind("[sim] wave: 800.000 Hz, duty 50.0 %, line busy (4800 baud 8E2", 0), 0u)
      << notes[0];
  // 0xF0 at 8N1: one period per 10-bit frame, baud / 10.
  EXPECT_EQ(notes[1].rfind("[sim] wave: 960.000 Hz, duty 50.0 %, line busy (9600 baud 8N1", 0), 0u)
      << notes[1];
  EXPECT_EQ(notes[2].rfind("[sim] wave: 800.000 Hz, duty 50.0 %, line busy", 0), 0u) << notes[2];
  // 0x55 at 1200 baud 8N1: five periods per 10-bit frame, baud / 2.
  EXPECT_EQ(notes[3].rfind("[sim] wave: 600.000 Hz, duty 50.0 %, line busy (1200 baud 8N1", 0), 0u)
      << notes[3];
}

TEST(LiveWendro, AWriteThatComesLateShowsAsAnIdleLine) {
  // A machine that stalls for longer than the slack lets the line fall idle, and the meter says so.
  LiveRun live(sim::live::make_rig("wendro", 1));
  live.native.key_at(5.0, 'q');
  live.native.stall_from = 200 * kTicksPerMs;
  live.native.stall = 300 * kTicksPerMs;
  EXPECT_EQ(live.run(wendro::run, "wendro"), 0);
  std::vector<std::string> notes = lines_of(live.notes, "[sim] wave");
  ASSERT_FALSE(notes.empty()) << live.notes;
  EXPECT_NE(notes[0].find("line idle for up to"), std::string::npos) << notes[0];
}

TEST(LiveKadrel, ReportsBesideTheTrueClosedTimeAndKeepsMemoryBounded) {
  LiveRun live(std::make_unique<sim::live::RandomLoopback>(7));
  live.native.key_at(14.0, 'q');
  EXPECT_EQ(live.run(kadrel::run, "kadrel"), 0);

  std::vector<std::string> truths = lines_of(live.notes, "[sim] loop-back switch open again");
  std::vector<std::string> reports;
  for (const std::string& line : lines_of(live.native.screen)) {  // dots, then "  0.300 Sec."
    if (line.find(" Sec.") != std::string::npos)
      reports.push_back(line.substr(line.find_first_not_of('.')));
  }
  ASSERT_GE(truths.size(), 2u) << live.notes;
  ASSERT_GE(reports.size(), truths.size() - 1) << live.native.screen;
  for (std::size_t i = 0; i < reports.size() && i < truths.size(); ++i) {
    double truth = std::atof(truths[i].substr(truths[i].rfind("closed ") + 7).c_str());
    double reported = std::atof(reports[i].c_str());
    // Whole 10-bit frames at 38400 baud: within one frame and the printed rounding.
    EXPECT_NEAR(reported, truth, 0.001) << truths[i] << " / " << reports[i];
    EXPECT_GE(truth, sim::live::RandomLoopback::kShortestClosedS);
    EXPECT_LE(truth, sim::live::RandomLoopback::kLongestClosedS);
  }
  // 14 s of 0x55 at 38400 baud is 53 760 frames; only the last seconds are kept.
  const sim::World& world = live.system.world();
  EXPECT_LT(world.frames().size(), 3u * 3840u);
  EXPECT_LT(world.tx().edges().size(), 3u * 3840u * 10u);
  EXPECT_GT(world.transmitter().started(), 13u * 3840u);
}

TEST(LiveLorvel, DrawsEachDigitAndTheToolPrintsTheSwitches) {
  LiveRun live(std::make_unique<sim::live::SwitchesAndDisplay>(3));
  live.native.key_at(14.0, 'x');
  EXPECT_EQ(live.run(lorvel::run, "lorvel"), 0);

  std::vector<std::string> switches = lines_of(live.notes, "[sim] input switches");
  std::vector<std::string> printed = lines_of(live.native.screen);
  ASSERT_GE(switches.size(), 3u) << live.notes;
  ASSERT_GE(printed.size(), switches.size() - 1);
  for (std::size_t i = 0; i < printed.size(); ++i) {
    const std::string& note = switches[i];
    EXPECT_EQ("  " + note.substr(note.size() - 2), printed[i]);
  }
  // The digits count up in hexadecimal, one per cycle of about 580 ms.
  std::vector<std::string> displays = lines_of(live.notes, "[sim] display");
  ASSERT_GE(displays.size(), 20u);
  const char* digits = "0123456789AbCdEF";
  for (std::size_t k = 0; k < displays.size(); ++k)
    EXPECT_EQ(displays[k][14], digits[k % 16]) << k;
  EXPECT_EQ(displays[1], "[sim] display 1.");  // the point follows the first input
}

TEST(VcdWriter, WritesTheChangesOfAllLinesInTimeOrderInNanoseconds) {
  sim::Timeline tx(1), cts(0);
  const Tick bit = sim::bit_ticks(115200);  // 385 ticks, 8680.56 ns
  tx.set(bit, 0);
  cts.set(bit, 1);
  tx.set(2 * bit, 1);
  cts.set(3 * bit, 0);
  sim::live::VcdWriter vcd({{"tx", 't', &tx}, {"cts", 'c', &cts}});
  vcd.begin();
  vcd.write_until(2 * bit);  // the change at 2 bits may still be replaced: it waits
  std::string first = vcd.take_text();
  vcd.finish(4 * bit);
  std::string rest = vcd.take_text();

  EXPECT_EQ(first,
            "$version serial tools simulated port $end\n"
            "$timescale 1ns $end\n"
            "$scope module port $end\n"
            "$var wire 1 t tx $end\n"
            "$var wire 1 c cts $end\n"
            "$upscope $end\n$enddefinitions $end\n"
            "#0\n$dumpvars\n1t\n0c\n$end\n"
            "#8681\n0t\n1c\n");
  EXPECT_EQ(rest, "#17361\n1t\n#26042\n0c\n#34722\n");
}

TEST(VcdWriter, RoundsEachTimeFromTheExactTicksWithoutDrift) {
  using sim::live::to_nanoseconds;
  EXPECT_EQ(to_nanoseconds(0), 0);
  EXPECT_EQ(to_nanoseconds(kTicksPerSecond), 1'000'000'000);
  // 1/44 352 000 s is 22.55 ns; a day of ticks still lands on whole nanoseconds of the bit grid.
  EXPECT_EQ(to_nanoseconds(1), 23);
  const Tick day = 86'400 * kTicksPerSecond;
  EXPECT_EQ(to_nanoseconds(day), 86'400'000'000'000LL);
  EXPECT_EQ(to_nanoseconds(day + sim::bit_ticks(115200)), 86'400'000'008'681LL);
}

TEST(HistoryTrim, KeepsTheLevelsAndTheLineRunning) {
  sim::Timeline line(1);
  line.set(10, 0);
  line.set(20, 1);
  line.set(30, 0);
  line.forget_before(25);
  EXPECT_EQ(line.initial_level(), 1);
  EXPECT_EQ(line.level_at(25), 1);
  EXPECT_EQ(line.level(), 0);
  ASSERT_EQ(line.edges().size(), 1u);
  EXPECT_EQ(line.edges()[0].at, 30);
  line.forget_before(1000);
  EXPECT_EQ(line.initial_level(), 0);
  EXPECT_TRUE(line.edges().empty());
}

}  // namespace
