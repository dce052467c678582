// A call that may never return (a name lookup whose resolver does not answer), given a time
// limit: it runs on a helper thread of its own while the caller waits at most that long. The
// helper only calls; the caller's thread alone acts on the result, so the loops stay
// single-threaded.
#pragma once

#include <functional>

namespace serial {

// Runs `call` on a helper thread and waits up to `timeout_ms` for it. A call that ends in time
// gives its result; one that does not gives null and is left to end on its own, handing what it
// gives then to `discard` (which may be null when a result owns nothing).
void* call_within(std::function<void*()> call, void (*discard)(void*), int timeout_ms);

}  // namespace serial
