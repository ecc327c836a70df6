// Native threads kept from one call to the next.
//
// Starting a thread and joining it costs tens of microseconds (ADX on 5,000 series x 2 rows,
// the arithmetic next to nothing: 0.18 ms a call on one thread, 0.26 ms on two started for
// the call), which a wide call of a millisecond or two pays at every call. Kept threads
// look for the next call a short while after each (see workers.cpp), then sleep on a
// condition variable until one wakes them.
#pragma once

namespace vi::batch {

// Runs task(context, t) for t = 0 .. count - 1 exactly once each, t = 0 on the calling
// thread, the others on kept threads (started at the first call that needs them); the
// calling thread also takes any task that no kept thread has taken yet. Returns false, with
// nothing run, when the kept threads are busy with another call or more are needed than are
// kept (the caller then starts threads of its own). Call without the interpreter lock.
bool run_on_workers(int count, void (*task)(void*, int) noexcept, void* context) noexcept;

}  // namespace vi::batch
