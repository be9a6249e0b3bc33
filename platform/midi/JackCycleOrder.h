#pragma once

// JACK's server runs a cycle's clients in the order of the graph and the cycles one after
// another: whatever a process callback left in a port buffer is there before the next reader's
// callback starts. The server orders them with signals across processes, which ThreadSanitizer
// cannot see, so under it each process callback in this process says so: it acquires at its
// start what every earlier one released at its end. Elsewhere this costs nothing.

#if defined(__SANITIZE_THREAD__)
#define VELMORA_TELL_TSAN 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define VELMORA_TELL_TSAN 1
#endif
#endif

#ifdef VELMORA_TELL_TSAN
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace velmora::platform::midi {

class JackCycleOrder {
 public:
#ifdef VELMORA_TELL_TSAN
  JackCycleOrder() {
    __tsan_acquire(&graph_);
  }
  ~JackCycleOrder() {
    __tsan_release(&graph_);
  }

 private:
  inline static char graph_ = 0;  // only its address is used
#else
  JackCycleOrder() = default;
#endif

 public:
  JackCycleOrder(const JackCycleOrder&) = delete;
  JackCycleOrder& operator=(const JackCycleOrder&) = delete;
};

}  // namespace velmora::platform::midi
