// The bench's own instrument: frames drawn bit-exactly, decoders that read them back, and a
// receiver that behaves like a UART. Everything the tool tests claim rests on these.
#include <gtest/gtest.h>

#include <vector>

#include "bench.h"
#include "timeline.h"
#include "uart.h"

namespace sim {
namespace {

std::vector<int> levels_per_bit(const Timeline& line, Tick start, Tick bit, int bits) {
  std::vector<int> levels;
  for (int i = 0; i < bits; ++i)
    levels.push_back(line.level_at(start + i * bit + bit / 2));
  return levels;
}

TEST(UartTransmitter, DrawsStartDataLeastSignificantFirstParityAndStop) {
  Timeline line;
  UartTransmitter uart(line);
  uart.set_format({4800, 8, serial::EVENPARITY, serial::TWOSTOPBITS});
  const std::uint8_t byte = 0x1C;
  uart.enqueue(0, &byte, 1);
  uart.advance_to(kTicksPerSecond);
  Tick bit = bit_ticks(4800);
  EXPECT_EQ(levels_per_bit(line, 0, bit, 12),
            (std::vector<int>{0, 0, 0, 1, 1, 1, 0, 0, 0, 1, 1, 1}));
  ASSERT_EQ(uart.frames().size(), 1u);
  EXPECT_EQ(uart.frames()[0].end, 12 * bit);
}

TEST(UartTransmitter, SendsWaitingBytesBackToBackAndIdlesHighAfterwards) {
  Timeline line;
  UartTransmitter uart(line);
  uart.set_format({600, 8, serial::NOPARITY, serial::ONESTOPBIT});
  const std::uint8_t bytes[] = {0x55, 0x55, 0xFD};
  uart.enqueue(from_ms(3), bytes, 3);
  uart.advance_to(kTicksPerSecond);
  ASSERT_EQ(uart.frames().size(), 3u);
  EXPECT_EQ(uart.frames()[1].start, uart.frames()[0].end);
  EXPECT_EQ(uart.frames()[2].start, uart.frames()[1].end);
  EXPECT_EQ(count_pulses(line, 0, kTicksPerSecond), 12u);
  EXPECT_EQ(line.level(), 1);
  // No idle time between frames: within the 0x55 frames the line is never high for two bits.
  EXPECT_EQ(longest_run(line, 1, uart.frames()[0].start, uart.frames()[1].end), bit_ticks(600));
}

TEST(UartTransmitter, FormatChangeAppliesFromTheNextFrameThatStarts) {
  Timeline line;
  UartTransmitter uart(line);
  uart.set_format({9600, 8, serial::NOPARITY, serial::ONESTOPBIT});
  const std::uint8_t bytes[] = {0x55, 0x55};
  uart.enqueue(0, bytes, 2);
  uart.advance_to(bit_ticks(9600) * 3);  // inside the first frame
  uart.set_format({1200, 8, serial::NOPARITY, serial::ONESTOPBIT});
  uart.advance_to(kTicksPerSecond);
  ASSERT_EQ(uart.frames().size(), 2u);
  EXPECT_EQ(uart.frames()[0].format.baud, 9600u);
  EXPECT_EQ(uart.frames()[1].format.baud, 1200u);
  EXPECT_EQ(uart.frames()[0].end - uart.frames()[0].start, 10 * bit_ticks(9600));
}

TEST(UartTransmitter, BreakHoldsTheLineLowAndReleasesToTheFrameLevel) {
  Timeline line;
  UartTransmitter uart(line);
  uart.set_break(from_ms(1), true);
  EXPECT_EQ(line.level_at(from_ms(2)), 0);
  uart.set_break(from_ms(3), false);
  EXPECT_EQ(line.level_at(from_ms(4)), 1);
  EXPECT_EQ(count_pulses(line, 0, from_ms(5)), 1u);
}

TEST(WaveDecoders, MeasureFrequencyDutyAndRuns) {
  Timeline line;
  // 1 kHz, 25 % high: low 750 us, high 250 us.
  for (int i = 0; i < 10; ++i) {
    line.set(from_ms(i), 0);
    line.set(from_ms(i) + from_us(750), 1);
  }
  WaveMeasurement wave = measure_wave(line, 0, from_ms(20));
  EXPECT_EQ(wave.periods, 9u);
  EXPECT_NEAR(wave.frequency_hz, 1000.0, 1e-9);
  EXPECT_NEAR(wave.duty_cycle, 0.25, 1e-9);
  EXPECT_EQ(wave.shortest_period, wave.longest_period);
  EXPECT_EQ(longest_run(line, 0, 0, from_ms(5)), from_us(750));
  EXPECT_EQ(longest_run(line, 1, from_ms(9), from_ms(20)), from_ms(11) - from_us(750));
  EXPECT_EQ(count_pulses(line, from_ms(2), from_ms(5)), 3u);
}

// The receiver fed by a transmitter through a wire that can be cut: a frame cut short reads as the
// byte its levels make.
class Wire : public Circuit {
 public:
  Tick cut_at = kNever;
  int rx_level(Tick at, int tx) override { return at < cut_at ? tx : 1; }
  Tick next_change_after(Tick at) override { return at < cut_at ? cut_at : kNever; }
};

TEST(UartReceiver, ReadsWhatTheTransmitterSentAndWhatACutFrameMakes) {
  World world;
  Wire wire;
  world.attach(&wire);
  ASSERT_TRUE(world.open("COM1", 0, 0));
  serial::DCB dcb{38400, 8, serial::NOPARITY, serial::ONESTOPBIT};
  ASSERT_TRUE(world.set_comm_state(dcb));
  // Cut the wire after the second pulse of the fourth frame: 0x55 reads as 0xFD.
  Tick bit = bit_ticks(38400);
  wire.cut_at = 3 * 10 * bit + 4 * bit;
  const std::uint8_t stream[] = {0x55, 0x55, 0x55, 0x55, 0x55, 0x55};
  world.write(stream, sizeof stream, nullptr, nullptr);
  world.advance_to(from_ms(5));
  ASSERT_EQ(world.received().size(), 4u);
  EXPECT_EQ(world.received()[0].value, 0x55);
  EXPECT_EQ(world.received()[2].value, 0x55);
  EXPECT_EQ(world.received()[3].value, 0xFD);
  EXPECT_FALSE(world.received()[3].framing_error);
}

TEST(UartReceiver, FlagsParityAndFramingErrors) {
  UartReceiver receiver;
  FrameFormat format{1200, 8, serial::EVENPARITY, serial::ONESTOPBIT};
  receiver.set_format(format);
  Timeline line;
  // 0x01 with a wrong parity bit (0) and a stop bit at 0.
  const int levels[] = {0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Tick bit = format.bit();
  ReceivedByte byte{};
  bool done = false;
  for (int i = 0; i < 11; ++i) {
    receiver.on_level(i * bit, levels[i]);
    while (receiver.next_sample() < (i + 1) * bit) {
      done = receiver.sample(receiver.next_sample(), levels[i], byte) || done;
    }
  }
  ASSERT_TRUE(done);
  EXPECT_EQ(byte.value, 0x01);
  EXPECT_TRUE(byte.parity_error);
  EXPECT_TRUE(byte.framing_error);
}

TEST(BenchPort, IsExclusiveAndAnswersOnlyToItsName) {
  Bench bench;
  auto first = bench.CreateFileA("COM1", serial::GENERIC_WRITE, 0);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(bench.CreateFileA("COM1", serial::GENERIC_WRITE, 0), nullptr);
  first.reset();  // the destructor closes
  EXPECT_FALSE(bench.world().port_open());
  EXPECT_EQ(bench.CreateFileA("COM2", serial::GENERIC_WRITE, 0), nullptr);
  EXPECT_NE(bench.CreateFileA("COM1", serial::GENERIC_WRITE, 0), nullptr);
}

TEST(BenchPort, IntervalTimeoutEndsAReadShortAndAnEmptyReadStaysPending) {
  Bench bench;
  Wire wire;
  bench.world().attach(&wire);
  auto port = bench.CreateFileA("COM1", serial::GENERIC_READ | serial::GENERIC_WRITE,
                                serial::FILE_FLAG_OVERLAPPED);
  serial::DCB dcb{38400, 8, serial::NOPARITY, serial::ONESTOPBIT};
  ASSERT_TRUE(port->SetCommState(dcb));
  serial::COMMTIMEOUTS timeouts;
  timeouts.ReadIntervalTimeout = 200;
  port->SetCommTimeouts(timeouts);
  std::uint8_t buffer[768];
  serial::OVERLAPPED read;
  std::uint32_t count = 0;
  port->ReadFile(buffer, sizeof buffer, nullptr, &read);
  bench.world().advance_to(from_ms(1000));
  EXPECT_FALSE(port->GetOverlappedResult(read, count, false));

  std::uint8_t stream[100];
  std::fill(std::begin(stream), std::end(stream), 0x55);
  port->WriteFile(stream, sizeof stream, nullptr, nullptr);
  bench.world().run_until([&] { return port->GetOverlappedResult(read, count, false); });
  Tick last_frame_end = bench.world().received().back().at;
  EXPECT_EQ(count, 100u);
  EXPECT_GT(bench.world().now() - last_frame_end, from_ms(200));
  EXPECT_LT(bench.world().now() - last_frame_end, from_ms(201));
}

}  // namespace
}  // namespace sim
