#pragma once

#include <cstdint>

namespace velmora::serial {

enum class TPacketStartCond { scString, scAnyData };
enum TPacketEndCond : std::uint8_t { ecString = 1 << 0, ecPacketSize = 1 << 1 };
using TPacketEndSet = std::uint8_t;  // a set of TPacketEndCond bits

}  // namespace velmora::serial
