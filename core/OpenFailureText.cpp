#include "core/OpenFailureText.h"

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/midi/MidiService.h"

namespace velmora::core {

namespace pm = platform::midi;

namespace {
std::string ReasonOf(int osError, const std::string& driverText) {
  switch (osError) {
    case EACCES:
    case EPERM:
#ifdef _WIN32
      return "accès refusé";
#else
      return "accès refusé (ajoutez-vous au groupe dialout)";
#endif
    case EBUSY:
    case EWOULDBLOCK:
      return "occupé par un autre programme";
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return "introuvable";
    case ENOTTY:
      return "ce n'est pas un port série";
    case 0:
      return driverText.empty() ? "ouverture impossible" : driverText;
    default:
      return "erreur système " + std::to_string(osError) + " (" + std::strerror(osError) + ")";
  }
}
}  // namespace

std::string SerialOpenReason(int osError, const std::string& driverText,
                             const std::string& systemText) {
  if (systemText.empty()) return ReasonOf(osError, driverText);
  // The driver's own text is English: the system's words say it better.
  return (osError == 0 ? std::string("ouverture impossible") : ReasonOf(osError, driverText)) +
         " (" + systemText + ")";
}

std::string MidiOpenReason(std::uint32_t result, const std::string& serviceText) {
  switch (result) {
    case pm::MMSYSERR_BADDEVICEID:
    case pm::MIDIERR_NODEVICE:
      return "port introuvable";
    case pm::MMSYSERR_ALLOCATED:
      return "occupé par un autre programme";
    case pm::MMSYSERR_NODRIVER:
      return "service MIDI indisponible";
    default:
      return serviceText.empty() ? "ouverture impossible" : serviceText;
  }
}

std::string DeviceLine(const std::string& tag, const std::string& device,
                       const std::string& reason) {
  return "[" + tag + "] - " + (device.empty() ? std::string{} : device + " : ") + reason;
}

}  // namespace velmora::core
