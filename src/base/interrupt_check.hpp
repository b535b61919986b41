// How a long load lets its caller stop it, e.g. on Ctrl-C, without the core knowing who asks:
// the load calls the check now and then, and a check that wants it stopped raises.
#pragma once

#include <cstddef>
#include <functional>
#include <utility>

namespace treetally {

// A caller's "should this stop?" question. Returning means carry on; raising (any exception)
// stops the operation, which unwinds and frees all it holds. A default one never raises.
class InterruptCheck {
  public:
    InterruptCheck() = default;
    explicit InterruptCheck(std::function<void()> check) : check_(std::move(check)) {}

    void operator()() const {
        if (check_) check_();
    }

  private:
    std::function<void()> check_;
};

// Asks an InterruptCheck once per `period` units of work (entries an index writes, say), so that
// a loop can report every step at the cost of an addition.
class InterruptPacer {
  public:
    InterruptPacer(InterruptCheck check, std::size_t period)
        : check_(std::move(check)), period_(period) {}

    void count(std::size_t work) {
        done_ += work;
        if (done_ < period_) return;
        done_ = 0;
        check_();
    }

  private:
    InterruptCheck check_;
    std::size_t period_;
    std::size_t done_ = 0;
};

}  // namespace treetally
