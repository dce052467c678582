// lorvel on the bench: the control-line exchange against a shift-register board, and the digit
// cycle with its input monitor.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "bench.h"
#include "lorvel.h"
#include "shift_register_board.h"

namespace {

using sim::Bench;
using sim::from_ms;
using sim::PortCall;
using sim::PortOp;
using sim::ShiftRegisterBoard;
using sim::Tick;

// One line operation or status read, as the test expects it.
struct LineCall {
  PortOp op;
  std::uint32_t code;  // the escape code; 0 for a status read
  bool operator==(const LineCall& other) const { return op == other.op && code == other.code; }
};

std::ostream& operator<<(std::ostream& out, const LineCall& call) {
  return out << (call.op == PortOp::kEscape ? "escape " : "status ") << call.code;
}

std::vector<const PortCall*> line_calls(const sim::World& world) {
  std::vector<const PortCall*> calls;
  for (const PortCall& call : world.calls()) {
    if (call.op == PortOp::kEscape || call.op == PortOp::kModemStatus) calls.push_back(&call);
  }
  return calls;
}

std::vector<LineCall> line_sequence(const sim::World& world) {
  std::vector<LineCall> sequence;
  for (const PortCall* call : line_calls(world)) {
    sequence.push_back({call->op, call->op == PortOp::kEscape ? call->value : 0});
  }
  return sequence;
}

// The bench with a board on the connector and the port open, ready for single exchanges.
struct ExchangeBench {
  ExchangeBench() {
    bench.world().attach(&board);
    port = bench.CreateFileA("COM1", serial::GENERIC_READ | serial::GENERIC_WRITE, 0);
  }
  std::uint8_t exchange(std::uint8_t output) {
    return lorvel::shift_exchange(*port, bench.console(), output);
  }
  // The RTS level set in each cycle: the line operation right after each status read.
  std::vector<int> rts_per_cycle() {
    std::vector<int> levels;
    std::vector<LineCall> sequence = line_sequence(bench.world());
    for (std::size_t i = 0; i + 1 < sequence.size(); ++i) {
      if (sequence[i].op == PortOp::kModemStatus)
        levels.push_back(sequence[i + 1].code == serial::SETRTS);
    }
    return levels;
  }

  Bench bench;
  ShiftRegisterBoard board;
  std::unique_ptr<serial::SerialPort> port;
};

TEST(LorvelExchange, MakesThePreambleThenEightSampleShiftClockCyclesWithTenMsPauses) {
  ExchangeBench b;
  const std::uint8_t output = 0xA5;  // 1010 0101
  Tick start = b.bench.world().now();
  b.exchange(output);

  std::vector<LineCall> expected = {
      {PortOp::kEscape, serial::SETDTR},   {PortOp::kEscape, serial::SETRTS},
      {PortOp::kEscape, serial::SETBREAK}, {PortOp::kEscape, serial::CLRDTR},
      {PortOp::kEscape, serial::CLRBREAK}, {PortOp::kEscape, serial::SETBREAK},
      {PortOp::kEscape, serial::SETDTR},
  };
  const int bits_msb_first[8] = {1, 0, 1, 0, 0, 1, 0, 1};
  for (int bit : bits_msb_first) {
    expected.push_back({PortOp::kModemStatus, 0});
    expected.push_back({PortOp::kEscape, bit ? serial::SETRTS : serial::CLRRTS});
    expected.push_back({PortOp::kEscape, serial::CLRBREAK});
    expected.push_back({PortOp::kEscape, serial::SETBREAK});
  }
  EXPECT_EQ(b.bench.world().calls().size(), 1u + 31 + 8);  // the open, then the exchange alone
  EXPECT_EQ(line_sequence(b.bench.world()), expected);

  // Each status read comes 10 ms after the operation before it returned; the other line
  // operations follow one another at once.
  const Tick op = b.bench.world().line_op_cost();
  std::vector<const PortCall*> calls = line_calls(b.bench.world());
  Tick previous = start - op;
  for (const PortCall* call : calls) {
    if (call->op == PortOp::kModemStatus) {
      EXPECT_EQ(call->at - previous, op + from_ms(10));
    } else {
      EXPECT_EQ(call->at, previous + op);
    }
    previous = call->at;
  }
  EXPECT_EQ(b.bench.world().now() - start, from_ms(80) + 39 * op);

  EXPECT_EQ(b.bench.world().dtr().level(), 1);
  EXPECT_EQ(b.bench.world().brk().level(), 1);
  EXPECT_EQ(b.bench.world().rts().level(), 1);  // bit 0 of 0xA5
}

TEST(LorvelExchange, PutsTheOutputOnRtsMostSignificantBitFirst) {
  for (std::uint8_t output : {0x00, 0xFF, 0x01, 0x80, 0x3F, 0x86, 0xA5}) {
    SCOPED_TRACE(static_cast<int>(output));
    ExchangeBench b;
    b.exchange(output);
    std::vector<int> expected;
    for (int i = 7; i >= 0; --i)
      expected.push_back((output >> i) & 1);
    EXPECT_EQ(b.rts_per_cycle(), expected);
    EXPECT_EQ(b.bench.world().rts().level(), output & 1);
    ASSERT_EQ(b.board.taken_in().size(), 1u);
    EXPECT_EQ(b.board.last_taken_in(), output);
  }
}

TEST(LorvelExchange, ReadsAnAssertedCtsAsZeroAndTheFirstSampleAsBitZero) {
  struct Case {
    std::vector<bool> cts;
    std::uint8_t expected;
  };
  const std::vector<Case> cases = {
      {{true, true, true, true, true, true, true, true}, 0x00},
      {{false, false, false, false, false, false, false, false}, 0xFF},
      {{true, false, false, false, false, false, false, false}, 0xFE},
      {{false, false, false, false, false, false, false, true}, 0x7F},
      {{true, true, false, true, false, false, true, false}, 0xB4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.expected));
    ExchangeBench b;
    b.board.script_cts(c.cts);
    EXPECT_EQ(b.exchange(0x00), c.expected);
  }
}

TEST(LorvelExchange, BringsTheBoardInputsBackAcrossConsecutiveExchanges) {
  ExchangeBench b;
  const std::uint8_t inputs[] = {0x5A, 0x00, 0xFF, 0x81, 0x5A};
  const std::uint8_t outputs[] = {0x12, 0xFF, 0x00, 0x7E, 0xC3};
  for (int i = 0; i < 5; ++i) {
    b.board.set_inputs(inputs[i]);
    EXPECT_EQ(b.exchange(outputs[i]), inputs[i]);
    EXPECT_EQ(b.board.last_taken_in(), outputs[i]);
  }
  EXPECT_EQ(b.board.loads(), 5u);
  EXPECT_EQ(b.board.taken_in().size(), 5u);
}

// A port whose driver reports failures: line operations take effect but report failure, and the
// chosen status reads fail without touching the status word.
class FaultyPort : public serial::SerialPort {
 public:
  FaultyPort(std::unique_ptr<serial::SerialPort> inner, bool escapes_fail,
             std::vector<bool> status_read_fails)
      : inner_(std::move(inner)),
        escapes_fail_(escapes_fail),
        status_read_fails_(std::move(status_read_fails)) {}
  bool GetCommState(serial::DCB& dcb) override { return inner_->GetCommState(dcb); }
  bool SetCommState(const serial::DCB& dcb) override { return inner_->SetCommState(dcb); }
  bool SetCommTimeouts(const serial::COMMTIMEOUTS& t) override {
    return inner_->SetCommTimeouts(t);
  }
  bool EscapeCommFunction(std::uint32_t function) override {
    return inner_->EscapeCommFunction(function) && !escapes_fail_;
  }
  // Cycles through the pattern of failing reads.
  bool GetCommModemStatus(std::uint32_t& status) override {
    bool fails = status_read_fails_[reads_++ % status_read_fails_.size()];
    if (!fails) return inner_->GetCommModemStatus(status);
    ++failed_reads_;
    return false;
  }
  bool WriteFile(const void* b, std::uint32_t n, std::uint32_t* w, serial::OVERLAPPED* o) override {
    return inner_->WriteFile(b, n, w, o);
  }
  bool ReadFile(void* b, std::uint32_t n, std::uint32_t* r, serial::OVERLAPPED* o) override {
    return inner_->ReadFile(b, n, r, o);
  }
  bool GetOverlappedResult(serial::OVERLAPPED& o, std::uint32_t& t, bool wait) override {
    return inner_->GetOverlappedResult(o, t, wait);
  }
  void CloseHandle() override { inner_->CloseHandle(); }
  int failed_reads() const { return failed_reads_; }

 private:
  std::unique_ptr<serial::SerialPort> inner_;
  bool escapes_fail_;
  std::vector<bool> status_read_fails_;
  std::size_t reads_ = 0;
  int failed_reads_ = 0;
};

TEST(LorvelExchange, CountsAFailedStatusReadAsCtsNotAsserted) {
  ExchangeBench b;
  b.board.script_cts(std::vector<bool>(8, true));  // every successful read sees CTS asserted
  // The odd cycles' reads fail: a status word kept from the read before would read as asserted.
  FaultyPort port(std::move(b.port), false, {false, true});
  EXPECT_EQ(lorvel::shift_exchange(port, b.bench.console(), 0x00), 0xAA);
  EXPECT_EQ(port.failed_reads(), 4);
}

TEST(LorvelExchange, RunsTheWholeSequenceWhenEveryOperationReportsFailure) {
  ExchangeBench b;
  b.board.set_inputs(0x00);  // CTS asserted throughout, but no read succeeds
  FaultyPort port(std::move(b.port), true, {true});
  Tick start = b.bench.world().now();
  EXPECT_EQ(lorvel::shift_exchange(port, b.bench.console(), 0x3C), 0xFF);
  EXPECT_EQ(port.failed_reads(), 8);
  // All 31 line operations reached the lines, in order, and the pauses were all kept.
  EXPECT_EQ(line_sequence(b.bench.world()).size(), 31u);
  // The failed status reads never reached the port, so only the 31 line operations took time.
  EXPECT_EQ(b.bench.world().now() - start, from_ms(80) + 31 * b.bench.world().line_op_cost());
  EXPECT_EQ(b.board.last_taken_in(), 0x3C);
}

// The whole program on the bench, with a board whose sent bytes the tests read back.
struct LoopBench {
  LoopBench() { bench.world().attach(&board); }
  int run() { return bench.run(lorvel::run, "lorvel", {"1"}); }
  std::vector<std::uint8_t> sent() const {
    std::vector<std::uint8_t> bytes;
    for (const auto& taken : board.taken_in())
      bytes.push_back(taken.value);
    return bytes;
  }
  std::vector<std::string> printed_lines() {
    std::vector<std::string> lines;
    for (const sim::Printed& p : bench.keyboard().printed())
      lines.push_back(p.text);
    return lines;
  }
  Bench bench;
  ShiftRegisterBoard board;
};

TEST(LorvelLoop, PrintsAConstantInputOnceAndLightsThePointOnlyInTheSecondCycle) {
  LoopBench b;
  b.board.set_inputs(0x42);
  b.bench.keyboard().press(from_ms(2000), 'x');  // during the fourth cycle
  EXPECT_EQ(b.run(), serial::kQuitByUser);
  EXPECT_EQ(b.printed_lines(), std::vector<std::string>{"  42\n"});
  // Digits 0, 1, 2, 3; the point with the digit after the first (and only) change.
  EXPECT_EQ(b.sent(), (std::vector<std::uint8_t>{0x3F, 0x86, 0x5B, 0x4F}));
  EXPECT_EQ(b.bench.world().opened_access(), serial::GENERIC_READ | serial::GENERIC_WRITE);
  EXPECT_EQ(b.bench.world().opened_flags(), 0u);
  EXPECT_FALSE(b.bench.world().port_open());
  EXPECT_EQ(b.bench.world().calls().back().op, PortOp::kClose);
  // No line settings were read or set: the open, then line calls only, then the close.
  for (const PortCall& call : b.bench.world().calls()) {
    EXPECT_TRUE(call.op == PortOp::kOpen || call.op == PortOp::kEscape ||
                call.op == PortOp::kModemStatus || call.op == PortOp::kClose);
  }
  // The key that ended the program is still there for whoever reads next.
  EXPECT_EQ(b.bench.keyboard().unread_input(), 1u);
}

TEST(LorvelLoop, PrintsEachChangeAndSendsThePointWithTheNextDigitOnly) {
  LoopBench b;
  // Cycles start about every 580 ms; each change lands between two exchanges.
  b.board.set_inputs(0x00);
  b.board.set_inputs_at(from_ms(700), 0x01);   // seen by cycle 2
  b.board.set_inputs_at(from_ms(1900), 0xF0);  // seen by cycle 4
  b.board.set_inputs_at(from_ms(2400), 0x01);  // seen by cycle 5
  b.bench.keyboard().press(from_ms(4000), ' ');
  EXPECT_EQ(b.run(), serial::kQuitByUser);
  EXPECT_EQ(b.printed_lines(), (std::vector<std::string>{"  00\n", "  01\n", "  f0\n", "  01\n"}));
  // Cycle:                               0     1     2     3     4     5     6
  EXPECT_EQ(b.sent(), (std::vector<std::uint8_t>{0x3F, 0x86, 0x5B, 0xCF, 0x66, 0xED, 0xFD}));
  // Each line is printed in the cycle that saw the change, right after its exchange's last clock.
  const auto& printed = b.bench.keyboard().printed();
  const sim::Tick op = b.bench.world().line_op_cost();
  EXPECT_EQ(printed[1].at, b.board.taken_in()[2].at + op);
  EXPECT_EQ(printed[3].at, b.board.taken_in()[5].at + op);
}

TEST(LorvelLoop, WrapsTheDigitFromFToZeroAndTakesAbout580MsACycle) {
  LoopBench b;
  b.board.set_inputs(0x00);
  b.bench.keyboard().press(from_ms(580 * 18 - 100), 'q');  // during the 18th cycle
  EXPECT_EQ(b.run(), serial::kQuitByUser);
  std::vector<std::uint8_t> sent = b.sent();
  ASSERT_EQ(sent.size(), 18u);
  const char expected_digits[] = "0123456789AbCdEF01";
  for (std::size_t i = 0; i < sent.size(); ++i) {
    sim::SevenSegmentDigit shown = sim::decode_seven_segment(sent[i]);
    EXPECT_EQ(shown.digit, expected_digits[i]) << "cycle " << i;
    EXPECT_EQ(shown.point, i == 1) << "cycle " << i;
  }
  // Exchanges follow at 80 ms of exchange + 500 ms of pause + one keyboard poll.
  const auto& taken = b.board.taken_in();
  for (std::size_t i = 1; i < taken.size(); ++i) {
    Tick cycle = taken[i].at - taken[i - 1].at;
    EXPECT_GE(cycle, from_ms(580));
    EXPECT_LT(cycle, from_ms(581));
  }
}

TEST(LorvelLoop, EndsBeforeTheNextExchangeOnceAKeyIsWaiting) {
  {
    LoopBench b;
    b.bench.keyboard().press(0, 'k');  // waiting before the first cycle
    EXPECT_EQ(b.run(), serial::kQuitByUser);
    EXPECT_TRUE(line_calls(b.bench.world()).empty());
    EXPECT_EQ(b.bench.keyboard().screen(), "");
    EXPECT_FALSE(b.bench.world().port_open());
    EXPECT_EQ(b.bench.keyboard().unread_input(), 1u);
    EXPECT_LT(b.bench.world().now(), from_ms(1));
  }
  {
    LoopBench b;
    const Tick key = from_ms(1000);  // during the second cycle's pause
    b.bench.keyboard().press(key, 'k');
    EXPECT_EQ(b.run(), serial::kQuitByUser);
    EXPECT_EQ(b.board.loads(), 2u);
    for (const PortCall* call : line_calls(b.bench.world()))
      EXPECT_LT(call->at, key);
    const PortCall& close = b.bench.world().calls().back();
    EXPECT_EQ(close.op, PortOp::kClose);
    EXPECT_LT(close.at - key, from_ms(581));
    EXPECT_EQ(b.bench.keyboard().unread_input(), 1u);
  }
}

TEST(LorvelLoop, PrintsFfOnceWhenTheLinesDoNothing) {
  {  // nothing on the connector: CTS never asserted
    Bench bench;
    bench.keyboard().press(from_ms(3000), 'q');
    EXPECT_EQ(bench.run(lorvel::run, "lorvel", {"1"}), serial::kQuitByUser);
    EXPECT_EQ(bench.keyboard().screen(), "  ff\n");
  }
  {  // a port without modem lines: every status read fails
    Bench bench;
    ShiftRegisterBoard board;
    board.set_inputs(0x00);  // would assert CTS throughout if it could be read
    bench.world().attach(&board);
    bench.keyboard().press(from_ms(3000), 'q');
    struct NoModemLines : serial::System {
      explicit NoModemLines(Bench& bench) : bench(bench) {}
      std::unique_ptr<serial::SerialPort> CreateFileA(const char* name, std::uint32_t access,
                                                      std::uint32_t flags) override {
        auto port = bench.CreateFileA(name, access, flags);
        if (!port) return nullptr;
        return std::make_unique<FaultyPort>(std::move(port), false, std::vector<bool>{true});
      }
      serial::Console& console() override { return bench.console(); }
      Bench& bench;
    } system(bench);
    const char* argv[] = {"lorvel", "1", nullptr};
    EXPECT_EQ(lorvel::run(2, argv, system), serial::kQuitByUser);
    EXPECT_EQ(bench.keyboard().screen(), "  ff\n");
    EXPECT_EQ(board.taken_in().size(), 6u);
    EXPECT_FALSE(bench.world().port_open());
  }
}

TEST(LorvelLoop, StartFailuresEndWithTheirStatus) {
  Bench bench;
  EXPECT_EQ(bench.run(lorvel::run, "lorvel", {}), serial::kWrongArgumentCount);
  EXPECT_EQ(bench.run(lorvel::run, "lorvel", {"1", "2"}), serial::kWrongArgumentCount);
  EXPECT_EQ(bench.keyboard().screen(), "  usage: lorvel port\n  usage: lorvel port\n");
  EXPECT_EQ(bench.run(lorvel::run, "lorvel", {"2"}), serial::kPortNotOpened);
  EXPECT_TRUE(line_calls(bench.world()).empty());
}

TEST(SevenSegmentDisplay, ShowsTheHexDigitsTheirSegmentsDrawAndThePoint) {
  // Segments a..g in bits 0..6, drawn from their shapes.
  EXPECT_EQ(sim::decode_seven_segment(0x3F).digit, '0');  // a b c d e f
  EXPECT_EQ(sim::decode_seven_segment(0x06).digit, '1');  // b c
  EXPECT_EQ(sim::decode_seven_segment(0x71).digit, 'F');  // a e f g
  sim::SevenSegmentDigit one_point = sim::decode_seven_segment(0x86);
  EXPECT_EQ(one_point.digit, '1');
  EXPECT_TRUE(one_point.point);
  EXPECT_EQ(one_point.segments,
            (std::array<bool, 7>{false, true, true, false, false, false, false}));
  EXPECT_EQ(sim::decode_seven_segment(0x80).digit, ' ');
  EXPECT_TRUE(sim::decode_seven_segment(0x80).point);
  EXPECT_EQ(sim::decode_seven_segment(0x01).digit, '?');  // segment a alone is no digit
  // The tool's table: each entry draws its own digit, with the point dark.
  const char digits[] = "0123456789AbCdEF";
  for (int i = 0; i < 16; ++i) {
    sim::SevenSegmentDigit shown = sim::decode_seven_segment(lorvel::kSegmentTable[i]);
    EXPECT_EQ(shown.digit, digits[i]);
    EXPECT_FALSE(shown.point);
  }
}

TEST(ShiftRegisterBoard, LoadsOnlyOnAClockEdgeWhileDtrIsLow) {
  Bench bench;
  ShiftRegisterBoard board;
  board.set_inputs(0xFE);  // input bit 0 low: CTS asserted right after a load
  bench.world().attach(&board);
  auto port = bench.CreateFileA("COM1", 0, 0);
  std::uint32_t status = 0;
  // Clock edges with DTR high shift the idle register: CTS stays released.
  port->EscapeCommFunction(serial::SETDTR);
  port->EscapeCommFunction(serial::SETBREAK);
  port->GetCommModemStatus(status);
  EXPECT_EQ(status, 0u);
  EXPECT_EQ(board.loads(), 0u);
  // DTR low without an edge loads nothing; the edge does.
  port->EscapeCommFunction(serial::CLRDTR);
  EXPECT_EQ(board.loads(), 0u);
  port->EscapeCommFunction(serial::CLRBREAK);
  EXPECT_EQ(board.loads(), 0u);
  port->EscapeCommFunction(serial::SETBREAK);
  EXPECT_EQ(board.loads(), 1u);
  port->GetCommModemStatus(status);
  EXPECT_EQ(status, serial::MS_CTS_ON);
  // The next edge with DTR high brings input bit 1 (high): CTS released.
  port->EscapeCommFunction(serial::SETDTR);
  port->EscapeCommFunction(serial::CLRBREAK);
  port->EscapeCommFunction(serial::SETBREAK);
  port->GetCommModemStatus(status);
  EXPECT_EQ(status, 0u);
  EXPECT_FALSE(board.has_taken_in());
}

}  // namespace

// While the port is away there is no exchange, and no value nothing measured (  ff) is printed;
// back, the next exchange prints what the board holds.
TEST(LorvelLoop, NeitherExchangesNorPrintsWhileThePortIsAway) {
  LoopBench b;
  b.board.set_inputs(0x42);
  b.bench.world().set_away(from_ms(1000), from_ms(2500));
  b.bench.keyboard().press(from_ms(4000), 'x');
  EXPECT_EQ(b.run(), serial::kQuitByUser);
  EXPECT_EQ(b.printed_lines(), (std::vector<std::string>{"  42\n", "  42\n"}));
  EXPECT_EQ(b.bench.keyboard().errors(),
            "lorvel: 1 went away; waiting for it (q quits)\nlorvel: 1 is back\n");
  for (const PortCall& call : b.bench.world().calls()) {
    EXPECT_FALSE(call.op == PortOp::kEscape && call.at > from_ms(1100) && call.at < from_ms(2500));
  }
}
