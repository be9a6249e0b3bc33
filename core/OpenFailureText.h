#pragma once

#include <cstdint>
#include <string>

namespace velmora::core {

// Why a device did not open, in words a user can act on. The driver's own text is kept where
// no plainer words fit.

// `osError`: the system's error number behind the failure (errno), 0 when unknown;
// `driverText`: what the serial layer raised; `systemText`: the system's own words for it, in
// its language, shown after ours in parentheses (empty: none).
std::string SerialOpenReason(int osError, const std::string& driverText,
                             const std::string& systemText = {});

// `result`: the MIDI service's result code, 0 when unknown; `serviceText`: its text.
std::string MidiOpenReason(std::uint32_t result, const std::string& serviceText);

// A log line about a device: "[RS232] - /dev/ttyUSB0 : occupé par un autre programme".
std::string DeviceLine(const std::string& tag, const std::string& device,
                       const std::string& reason);

}  // namespace velmora::core
