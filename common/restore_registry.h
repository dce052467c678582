// What a program has changed outside itself (a terminal's modes, a port's settings and exact rate,
// its exclusive mode and lock, a remote server's settings), and how to undo each, in one place, so
// that every way out undoes all of it: the close, a failed start, exit(), a fatal signal, and on
// Windows the console's Ctrl+C, Ctrl+Break and close events.
//
// Each change is an entry: an undo action and a copy of the state it needs, kept in fixed slots.
// An entry is added before its change is made and removed only after it has been undone, so no
// moment leaves a change unrecorded. Nothing here allocates or locks: a signal handler may undo
// everything between any two instructions of the code that adds, replaces or removes an entry.
#pragma once

#include <cstddef>
#include <type_traits>

namespace serial {
namespace restore {

// Why an action runs: the owner's own close, or the program ending without one (a signal, a
// console event, exit()), where an action may do more (drop what is still queued for the line).
enum class Way { kClose, kEnding };

// Undoes one change from its state. Async-signal-safe, and harmless when run twice: a signal can
// interrupt an undo and run it again.
using Action = void (*)(const void* state, Way way);

constexpr std::size_t kMaxState = 192;
constexpr int kEntries = 32;

using Entry = int;
constexpr Entry kNoEntry = -1;

// Records a change; kNoEntry when every slot is taken (the owner then undoes it itself).
Entry add(Action undo, const void* state, std::size_t size);
// Gives an entry a new state (a port that is reopened): at every moment either the old state or
// the new one is in force. False when the entry is no longer there.
bool replace(Entry entry, const void* state, std::size_t size);
// Forgets an entry without undoing it.
void remove(Entry entry);
// Undoes one entry (Way::kClose) and forgets it: the owner's normal close.
void undo_and_remove(Entry entry);
// Runs one entry's undo and keeps it (a stopped program hands its terminal back for a while).
void undo_and_keep(Entry entry);

// Undoes every entry once (Way::kEnding) and forgets it. From a signal handler, which has
// interrupted the thread that owns the entries: an entry that thread was adding is skipped (its
// change is not made yet), one it was undoing is undone again. From another thread (Windows'
// console events) or at exit: each entry is claimed first, and one the owner is busy with is
// waited for, a bounded while.
enum class Caller { kSignalHandler, kOtherThread };
void undo_all(Caller caller);

template <class State>
Entry add(Action undo, const State& state) {
  static_assert(std::is_trivially_copyable<State>::value && sizeof(State) <= kMaxState,
                "an entry's state is copied bytewise into a fixed slot");
  return add(undo, &state, sizeof state);
}

template <class State>
bool replace(Entry entry, const State& state) {
  static_assert(std::is_trivially_copyable<State>::value && sizeof(State) <= kMaxState,
                "an entry's state is copied bytewise into a fixed slot");
  return replace(entry, &state, sizeof state);
}

}  // namespace restore
}  // namespace serial
