#include "core/Profile.h"

#include <algorithm>
#include <cctype>
#include <system_error>

namespace velmora::core {

namespace {

// JACK's client names hold 63 bytes; "velmora-" and a margin for its "-01" suffixes fit.
constexpr std::size_t kMaxNameLength = 48;

constexpr const char* kDefaultFileStem = "velmora";

}  // namespace

std::string ProfileNameProblem(const std::string& name) {
  if (name.empty() || name.size() > kMaxNameLength) {
    return "un nom de 1 à " + std::to_string(kMaxNameLength) + " caractères";
  }
  const bool allowed = std::all_of(name.begin(), name.end(), [](unsigned char c) {
    return std::isalnum(c) != 0 || c == '-' || c == '_';
  });
  if (!allowed) return "des lettres, des chiffres, - et _ seulement";
  std::string lower = name;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  // Its file would be the default profile's (on Windows whatever the case).
  if (lower == kDefaultFileStem) return "velmora.conf est le fichier de réglages du profil default";
  // Windows takes these for devices whatever follows them ("COM1.conf" is the serial port), so
  // that a profile's file could not move to it.
  static constexpr const char* kDevices[] = {"con", "prn", "aux", "nul"};
  const bool numbered = lower.size() == 4 &&
                        (lower.starts_with("com") || lower.starts_with("lpt")) && lower[3] >= '1' &&
                        lower[3] <= '9';
  if (numbered || std::find(std::begin(kDevices), std::end(kDevices), lower) != std::end(kDevices))
    return name + " est un nom de périphérique sous Windows";
  return {};
}

std::string SettingsFileName(const std::string& profile) {
  return (profile == kDefaultProfile ? std::string(kDefaultFileStem) : profile) + ".conf";
}

std::string MidiClientName(const std::string& profile) {
  return profile == kDefaultProfile ? std::string("velmora") : "velmora-" + profile;
}

std::string WindowTitle(const std::string& profile) {
  return profile == kDefaultProfile ? std::string("Velmora") : "Velmora — " + profile;
}

std::vector<std::string> ProfilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> profiles;
  std::error_code error;
  for (std::filesystem::directory_iterator entry(folder, error), end; !error && entry != end;
       entry.increment(error)) {
    const auto& file = entry->path();
    if (file.extension() != ".conf" || !entry->is_regular_file(error)) continue;
    const std::string stem = file.stem().string();
    std::string profile = stem == kDefaultFileStem ? std::string(kDefaultProfile) : stem;
    // default.conf is no profile's: the default profile reads velmora.conf.
    if (stem != kDefaultProfile && (stem == kDefaultFileStem || ProfileNameProblem(stem).empty()))
      profiles.push_back(std::move(profile));
  }
  std::sort(profiles.begin(), profiles.end());
  return profiles;
}

}  // namespace velmora::core
