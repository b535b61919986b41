// Native work that runs with the interpreter lock released, so that other Python threads go on
// (a thread feeding a pipe that the work reads, say), yet stops within a tenth of a second of
// Ctrl-C: now and then the work's interrupt check takes the lock back to run signal handlers.
#pragma once

#include <Python.h>

#include <atomic>
#include <chrono>
#include <utility>

#include "base/interrupt_check.hpp"
#include "python/runtime/runtime.hpp"

namespace treetally::python {

// Releases the interpreter lock for its lifetime; the calling thread takes it back on the way
// out, however it leaves.
class ReleasedLock {
  public:
    ReleasedLock() : state_(PyEval_SaveThread()) {}
    ReleasedLock(const ReleasedLock&) = delete;
    ReleasedLock& operator=(const ReleasedLock&) = delete;
    ~ReleasedLock() { PyEval_RestoreThread(state_); }

    // Runs the handlers of signals that arrived meanwhile, holding the lock for that moment;
    // when one raised (Ctrl-C's raises KeyboardInterrupt), passes its exception on, which
    // unwinds the work and takes the lock back for good.
    void check_signals() {
        PyEval_RestoreThread(state_);
        const int status = PyErr_CheckSignals();
        state_ = PyEval_SaveThread();
        if (status < 0) throw_python_error();
    }

  private:
    PyThreadState* state_;
};

// How often the released work looks at signals: well under the tenth of a second that Ctrl-C
// may take, and seldom enough that taking the lock costs nothing measurable.
inline constexpr std::chrono::milliseconds signal_poll_period{20};

// Runs `work(interrupt)` on the calling thread without the lock; `interrupt` (called by the
// work every so many units) looks at signals once per signal_poll_period.
template <class Work>
decltype(auto) run_without_lock(Work&& work) {
    ReleasedLock released;
    auto next_poll = std::chrono::steady_clock::now() + signal_poll_period;
    const InterruptCheck interrupt([&] {
        const auto now = std::chrono::steady_clock::now();
        if (now < next_poll) return;
        next_poll = now + signal_poll_period;
        released.check_signals();
    });
    return std::forward<Work>(work)(interrupt);
}

}  // namespace treetally::python
