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
enum Phase : unsigned { kFree, kFilling, kActive, kReplacing, kUndoing };

// A slot's word holds its phase and the generation of the entry in it, changed together, so that
// an entry that was undone elsewhere (and its slot given to another) is never touched again.
constexpr unsigned kPhaseBits = 3;
constexpr unsigned kPhaseMask = (1u << kPhaseBits) - 1;
constexpr unsigned kIndexBits = 5;
static_assert(kEntries <= (1 << kIndexBits), "an entry number holds its slot's index");
constexpr unsigned kGenerations = 1u << 20;

unsigned phase_of(unsigned word) {
  return word & kPhaseMask;
}
unsigned generation_of(unsigned word) {
  return word >> kPhaseBits;
}
unsigned make_word(unsigned generation, unsigned phase) {
  return generation << kPhaseBits | phase;
}

struct Slot {
  std::atomic<unsigned> word{0};
  std::atomic<int> current{0};
  Action undo = nullptr;
  alignas(std::max_align_t) unsigned char state[2][kMaxState] = {};
};

static_assert(std::atomic<unsigned>::is_always_lock_free, "the phases are read in signal handlers");

Slot g_slots[kEntries];

// How long a thread other than the owner waits for the owner to finish with a slot: an undo
// of a few system calls, or a close that lets running transfers go.
constexpr int kWaitSteps = 2000;

void pause_a_moment() {
  std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The slot of an entry, and the generation the entry had there.
Slot* slot_of(Entry entry, unsigned& generation) {
  if (entry < 0) return nullptr;
  generation = static_cast<unsigned>(entry) >> kIndexBits;
  return &g_slots[static_cast<unsigned>(entry) & ((1u << kIndexBits) - 1)];
}

void run(Slot& slot, Way way) {
  slot.undo(slot.state[slot.current.load()], way);
}

// Moves a slot from `from` to `to` while it still holds `generation`'s entry.
bool move(Slot& slot, unsigned generation, unsigned from, unsigned to) {
  unsigned expected = make_word(generation, from);
  return slot.word.compare_exchange_strong(expected, make_word(generation, to));
}

// Takes an entry for its undo. False when it is gone, or was undone by another thread meanwhile;
// an entry that is being filled or replaced, or undone elsewhere, is waited for.
bool claim(Slot& slot, unsigned generation) {
  for (int step = 0; step < kWaitSteps; ++step) {
    unsigned word = slot.word.load();
    if (generation_of(word) != generation || phase_of(word) == kFree) return false;
    if (phase_of(word) == kActive) {
      if (move(slot, generation, kActive, kUndoing)) return true;
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
    unsigned word = slot.word.load();
    if (phase_of(word) != kFree) continue;
    unsigned generation = (generation_of(word) + 1) % kGenerations;
    if (!slot.word.compare_exchange_strong(word, make_word(generation, kFilling))) continue;
    slot.undo = undo;
    std::memcpy(slot.state[0], state, size);
    slot.current.store(0);
    slot.word.store(make_word(generation, kActive));
    return static_cast<Entry>(generation << kIndexBits | static_cast<unsigned>(index));
  }
  return kNoEntry;
}

bool replace(Entry entry, const void* state, std::size_t size) {
  unsigned generation = 0;
  Slot* slot = slot_of(entry, generation);
  if (slot == nullptr || size > kMaxState || !move(*slot, generation, kActive, kReplacing)) {
    return false;
  }
  int next = 1 - slot->current.load();
  std::memcpy(slot->state[next], state, size);
  // From here on a signal undoes with the new state.
  slot->current.store(next);
  slot->word.store(make_word(generation, kActive));
  return true;
}

void remove(Entry entry) {
  unsigned generation = 0;
  Slot* slot = slot_of(entry, generation);
  if (slot != nullptr && claim(*slot, generation)) slot->word.store(make_word(generation, kFree));
}

void undo_and_remove(Entry entry) {
  unsigned generation = 0;
  Slot* slot = slot_of(entry, generation);
  if (slot == nullptr || !claim(*slot, generation)) return;
  run(*slot, Way::kClose);
  slot->word.store(make_word(generation, kFree));
}

void undo_and_keep(Entry entry) {
  unsigned generation = 0;
  Slot* slot = slot_of(entry, generation);
  if (slot == nullptr) return;
  unsigned word = slot->word.load();
  unsigned phase = phase_of(word);
  if (generation_of(word) == generation &&
      (phase == kActive || phase == kReplacing || phase == kUndoing)) {
    run(*slot, Way::kClose);
  }
}

void undo_all(Caller caller) {
  for (Slot& slot : g_slots) {
    unsigned word = slot.word.load();
    unsigned generation = generation_of(word);
    if (caller == Caller::kOtherThread) {
      if (!claim(slot, generation)) continue;
      run(slot, Way::kEnding);
      slot.word.store(make_word(generation, kFree));
      continue;
    }
    // The interrupted thread cannot go on meanwhile: an entry it was replacing still holds the
    // old state in force, one it was undoing is undone again from the start.
    unsigned phase = phase_of(word);
    if (phase != kActive && phase != kReplacing && phase != kUndoing) continue;
    run(slot, Way::kEnding);
    move(slot, generation, kActive, kFree);
  }
}

}  // namespace restore
}  // namespace serial
