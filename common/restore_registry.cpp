#include "restore_registry.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

namespace serial {
namespace restore {
namespace {

// A slot's phase. Filling: its state is being written and its change is not made yet.
// Replacing: state[current] holds the state in force while the other half is written.
// Undoing: claimed by the thread that runs its undo.
enum Phase : int { kFree, kFilling, kActive, kReplacing, kUndoing };

struct Slot {
  std::atomic<int> phase{kFree};
  std::atomic<int> current{0};
  Action undo = nullptr;
  alignas(std::max_align_t) unsigned char state[2][kMaxState] = {};
};

static_assert(std::atomic<int>::is_always_lock_free, "the phases are read in signal handlers");

Slot g_slots[kEntries];

// How long a thread other than the owner waits for the owner to finish with a slot: an undo
// of a few system calls, or a close that lets running transfers go.
constexpr int kWaitSteps = 2000;

void pause_a_moment() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

Slot* slot_of(Entry entry) {
  return entry >= 0 && entry < kEntries ? &g_slots[entry] : nullptr;
}

void run(Slot& slot, Way way) {
  slot.undo(slot.state[slot.current.load()], way);
}

// Takes an entry for its undo. False when it is gone, or was undone by another thread meanwhile;
// an entry that is being filled or replaced, or undone elsewhere, is waited for.
bool claim(Slot& slot) {
  for (int step = 0; step < kWaitSteps; ++step) {
    int phase = slot.phase.load();
    if (phase == kFree) return false;
    if (phase == kActive) {
      if (slot.phase.compare_exchange_strong(phase, kUndoing)) return true;
      continue;
    }
    pause_a_moment();
  }
  return false;
}

}  // namespace

Entry add(Action undo, const void* state, std::size_t size) {
  if (undo == nullptr || size > kMaxState) return kNoEntry;
  for (int index = 0; index < kEntries; ++index) {
    Slot& slot = g_slots[index];
    int expected = kFree;
    if (!slot.phase.compare_exchange_strong(expected, kFilling)) continue;
    slot.undo = undo;
    std::memcpy(slot.state[0], state, size);
    slot.current.store(0);
    slot.phase.store(kActive);
    return index;
  }
  return kNoEntry;
}

bool replace(Entry entry, const void* state, std::size_t size) {
  Slot* slot = slot_of(entry);
  if (slot == nullptr || size > kMaxState) return false;
  int expected = kActive;
  if (!slot->phase.compare_exchange_strong(expected, kReplacing)) return false;
  int next = 1 - slot->current.load();
  std::memcpy(slot->state[next], state, size);
  // From here on a signal undoes with the new state.
  slot->current.store(next);
  slot->phase.store(kActive);
  return true;
}

void remove(Entry entry) {
  Slot* slot = slot_of(entry);
  if (slot != nullptr && claim(*slot)) slot->phase.store(kFree);
}

void undo_and_remove(Entry entry) {
  Slot* slot = slot_of(entry);
  if (slot == nullptr || !claim(*slot)) return;
  run(*slot, Way::kClose);
  slot->phase.store(kFree);
}

void undo_and_keep(Entry entry) {
  Slot* slot = slot_of(entry);
  if (slot == nullptr) return;
  int phase = slot->phase.load();
  if (phase == kActive || phase == kReplacing || phase == kUndoing) run(*slot, Way::kClose);
}

void undo_all(Caller caller) {
  for (Slot& slot : g_slots) {
    if (caller == Caller::kOtherThread) {
      if (!claim(slot)) continue;
      run(slot, Way::kEnding);
      slot.phase.store(kFree);
      continue;
    }
    // The interrupted thread cannot go on meanwhile: an entry it was replacing still holds the
    // old state in force, one it was undoing is undone again from the start.
    int phase = slot.phase.load();
    if (phase != kActive && phase != kReplacing && phase != kUndoing) continue;
    run(slot, Way::kEnding);
    int active = kActive;
    slot.phase.compare_exchange_strong(active, kFree);
  }
}

}  // namespace restore
}  // namespace serial
