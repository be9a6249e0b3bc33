#pragma once

// JACK drops what a client wrote in a cycle that overran (an xrun), which a loaded machine
// causes. An exchange that lost something is tried again, but only when JACK reported an xrun
// meanwhile: a loss without one fails the test.

#include <gtest/gtest.h>

namespace velmora::testing {

// `xruns` counts the xruns seen by a client of the server; `attempt` is one whole exchange,
// true when nothing was lost.
template <typename Xruns, typename Attempt>
void RetryOnXrun(Xruns xruns, Attempt attempt) {
  constexpr int kAttempts = 6;
  for (int i = 0; i < kAttempts; ++i) {
    const auto before = xruns();
    if (attempt()) return;
    if (xruns() == before) {
      ADD_FAILURE() << "MIDI lost without an xrun";
      return;
    }
  }
  ADD_FAILURE() << "MIDI lost in " << kAttempts << " attempts, each with an xrun";
}

}  // namespace velmora::testing
