// The registry of what a program changed, and the remote farewell it sends: each change undone
// once on every way out, and the farewell whole or not at all.
#include "restore_registry.h"

#include <gtest/gtest.h>

#include <vector>

#include "link_farewell.h"

namespace {

using namespace serial;

struct Undone {
  int id;
  restore::Way way;
};
std::vector<Undone> g_undone;

void note_undo(const void* state, restore::Way way) {
  g_undone.push_back({*static_cast<const int*>(state), way});
}

TEST(RestoreRegistry, EachChangeIsUndoneOnceAndAStaleEntryTouchesNoOther) {
  g_undone.clear();
  restore::Entry port = restore::add(note_undo, 1);
  restore::Entry terminal = restore::add(note_undo, 2);
  ASSERT_NE(port, restore::kNoEntry);
  // A reopened port: from now on the new state is undone.
  EXPECT_TRUE(restore::replace(port, 3));
  restore::undo_and_remove(terminal);
  ASSERT_EQ(g_undone.size(), 1u);
  EXPECT_EQ(g_undone[0].id, 2);
  EXPECT_EQ(g_undone[0].way, restore::Way::kClose);

  // The freed slot goes to a new entry; the old number must not reach it.
  restore::Entry farewell = restore::add(note_undo, 4);
  restore::undo_and_remove(terminal);
  restore::remove(terminal);
  EXPECT_FALSE(restore::replace(terminal, 5));
  EXPECT_EQ(g_undone.size(), 1u);

  restore::undo_all(restore::Caller::kOtherThread);
  ASSERT_EQ(g_undone.size(), 3u);
  EXPECT_EQ(g_undone[1].id + g_undone[2].id, 3 + 4);
  EXPECT_EQ(g_undone[1].way, restore::Way::kEnding);
  // Gone once undone: neither a second way out nor the owner's close undoes them again.
  restore::undo_all(restore::Caller::kSignalHandler);
  restore::undo_and_remove(port);
  restore::undo_and_remove(farewell);
  EXPECT_EQ(g_undone.size(), 3u);
}

TEST(TelnetFraming, BetweenCommandsOnlyAtTheirEnds) {
  const std::vector<std::vector<std::uint8_t>> units = {
      {'A'},
      {255, 255},                                   // an escaped data byte
      {255, 251, 44},                               // WILL COM-PORT-OPTION
      {255, 250, 44, 1, 0, 0, 255, 255, 255, 240},  // a rate with a doubled 0xFF
      {255, 241},                                   // NOP
      {255, 250, 44, 12, 2, 255, 240}};             // PURGE-DATA
  TelnetFraming::State state = TelnetFraming::kBetween;
  for (const auto& unit : units) {
    for (std::size_t i = 0; i < unit.size(); ++i) {
      state = TelnetFraming::advance(state, &unit[i], 1);
      EXPECT_EQ(state == TelnetFraming::kBetween, i + 1 == unit.size())
          << "byte " << i << " of unit " << (&unit - &units[0]);
    }
  }
}

// A socket whose room and clock the test sets.
struct FakeSocket {
  bool writable = true;
  std::int64_t now = 0;
  std::vector<std::uint8_t> sent;
};
FakeSocket g_socket;

const FarewellSocket kFake{
    [](std::intptr_t, const std::uint8_t* bytes, std::size_t length) -> long {
      g_socket.sent.insert(g_socket.sent.end(), bytes, bytes + length);
      return static_cast<long>(length);
    },
    [](std::intptr_t, int timeout_ms) {
      if (!g_socket.writable) g_socket.now += timeout_ms;
      return g_socket.writable;
    },
    [] { return g_socket.now; }, [] { ++g_socket.now; }};

TEST(LinkFarewell, GoesOutWholeBetweenCommandsOrNotAtAll) {
  const std::uint8_t farewell[] = {255, 250, 44, 12, 2, 255, 240};
  g_socket = {};
  LinkFarewell link(7, kFake);
  // (Half a command on the wire holds it back: see RemoteLink in the pty tests.) A send of the
  // program's own under way on another thread is waited for, no longer than the farewell's time.
  bool lost = false;
  link.set(farewell, sizeof farewell);
  ASSERT_TRUE(link.begin_send(lost));
  restore::undo_all(restore::Caller::kOtherThread);
  EXPECT_TRUE(g_socket.sent.empty());
  EXPECT_GE(g_socket.now, LinkFarewell::kFarewellWaitMs);
  link.end_send(farewell, 0);

  // A socket that takes nothing within the time: nothing at all.
  g_socket.writable = false;
  g_socket.now = 0;
  link.set(farewell, sizeof farewell);
  restore::undo_all(restore::Caller::kSignalHandler);
  EXPECT_TRUE(g_socket.sent.empty());
  EXPECT_LE(g_socket.now, LinkFarewell::kFarewellWaitMs);

  // Between commands, with room: whole.
  g_socket.writable = true;
  link.set(farewell, sizeof farewell);
  restore::undo_all(restore::Caller::kSignalHandler);
  EXPECT_EQ(g_socket.sent, std::vector<std::uint8_t>(farewell, farewell + sizeof farewell));
}

}  // namespace
