// Ctrl-C in a long MEX call: Octave's signal handler only notes the
// interrupt, and the interpreter acts on it once the MEX function has
// returned. A watch turns the note into the run's cancel flag, so that the
// call stops within a fraction of a second as the rest of Octave does.
#pragma once

#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

// Weak: other hosts do not have it, and then nothing is watched.
extern "C" {
extern volatile sig_atomic_t octave_signal_caught __attribute__((weak));
}

namespace zarvo::gateway {

// Sets `cancel` once the host notes an interrupt (looked at every 20 ms),
// until destroyed.
class InterruptWatch {
 public:
  explicit InterruptWatch(std::atomic<bool>& cancel) {
    if (&octave_signal_caught == nullptr) return;
    watcher_ = std::thread([this, &cancel] {
      while (!done_.load()) {
        if (octave_signal_caught) {
          cancel = true;
          return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
    });
  }
  ~InterruptWatch() {
    done_ = true;
    if (watcher_.joinable()) watcher_.join();
  }
  InterruptWatch(const InterruptWatch&) = delete;
  InterruptWatch& operator=(const InterruptWatch&) = delete;

 private:
  std::atomic<bool> done_{false};
  std::thread watcher_;
};

}  // namespace zarvo::gateway
