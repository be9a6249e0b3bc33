#pragma once

// libjack is loaded at run time, not linked: a PipeWire desktop serves JACK through a libjack of
// its own (in pipewire-0.3/jack/), which a program linked against jackd's never reaches unless
// started through pw-jack. The jack_* functions that our code calls are ours (JackLibrary.cpp):
// each forwards to the library in use. Whenever no client of ours is open, the next
// jack_client_open chooses again: jackd's library when a jackd answers, else PipeWire's when
// its daemon answers. So a server that starts (or changes) after the program is found all the same.
// The rings between JACK's threads and ours are our own (ByteRing.h), not libjack's.

#include <string>

namespace velmora::platform::midi {

// Any thread. The server that the library in use serves, as the log names it: "PipeWire 0.3.65"
// or "jackd 1.9.21"; empty before a library was loaded.
std::string JackServerName();

}  // namespace velmora::platform::midi
