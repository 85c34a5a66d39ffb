#pragma once

// Stopping a long call from outside, shared by the readers, the file layer
// and the engine.

#include <chrono>
#include <cstddef>
#include <exception>

namespace vext {

// Lets a long call be stopped from outside: `poll` runs every few milliseconds
// of work and returns true to stop the call, which then throws Stopped.
struct StopCheck {
  bool (*poll)(void* context) = nullptr;
  void* context = nullptr;
};

// Thrown when a StopCheck asked a call to stop; nothing of the call remains.
struct Stopped : std::exception {
  const char* what() const noexcept override { return "stopped"; }
};

namespace detail {

// Polls a StopCheck every few milliseconds of work.
class Ticker {
 public:
  explicit Ticker(const StopCheck& stop) : stop_(stop) {}
  // The check is kept by reference, so it must outlive the ticker.
  explicit Ticker(const StopCheck&& stop) = delete;
  void tick(std::size_t work = 1) {
    if (!stop_.poll) return;
    budget_ += work;
    if (budget_ < 4096) return;
    budget_ = 0;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < std::chrono::milliseconds(5)) return;
    last_ = now;
    if (stop_.poll(stop_.context)) throw Stopped();
  }

 private:
  const StopCheck& stop_;
  std::size_t budget_ = 0;
  std::chrono::steady_clock::time_point last_ = std::chrono::steady_clock::now();
};

}  // namespace detail
}  // namespace vext
