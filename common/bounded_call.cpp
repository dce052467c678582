#include "bounded_call.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

namespace serial {
namespace {

// Shared by the caller and the helper; whichever leaves last frees it.
struct CallState {
  std::mutex mutex;
  std::condition_variable finished;
  bool done = false;
  bool abandoned = false;
  void* result = nullptr;
  void (*discard)(void*) = nullptr;
};

}  // namespace

void* call_within(std::function<void*()> call, void (*discard)(void*), int timeout_ms) {
  auto state = std::make_shared<CallState>();
  state->discard = discard;
  try {
    std::thread([state, call = std::move(call)] {
      void* result = call();
      std::lock_guard<std::mutex> lock(state->mutex);
      if (state->abandoned) {
        // Nobody waits any more: what came too late is freed here.
        if (result != nullptr && state->discard != nullptr) state->discard(result);
        return;
      }
      state->result = result;
      state->done = true;
      state->finished.notify_one();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: as a lookup that did not end in time
  }
  std::unique_lock<std::mutex> lock(state->mutex);
  if (!state->finished.wait_for(lock, std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms),
                                [&] { return state->done; })) {
    state->abandoned = true;
    return nullptr;
  }
  return state->result;
}

}  // namespace serial
