#pragma once

#include <string>

namespace velmora::platform::midi {

// A link that another program made to one of our open ports, each end by its full port name.
// Kept apart from the service's header, which the Windows window code cannot include beside
// <windows.h> (its result codes are macros there).
struct OutsideLink {
  bool input;  // to one of our inputs, or from one of our outputs
  std::string from;
  std::string to;
};

}  // namespace velmora::platform::midi
