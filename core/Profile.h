#pragma once

// A profile is one gateway among several on a machine: the names that keep it apart from the
// others (its settings file, its JACK client, its window's title) all derive from its name.

#include <filesystem>
#include <string>
#include <vector>

namespace velmora::core {

// The profile of a program started without --profile; it keeps the names of the time before
// profiles existed.
inline constexpr const char* kDefaultProfile = "default";

// Empty when `name` can name a profile (1 to 48 letters, digits, '-' and '_'); else why not,
// for the end of the option's error line.
std::string ProfileNameProblem(const std::string& name);

// "velmora.conf" for the default profile, else "NAME.conf".
std::string SettingsFileName(const std::string& profile);

// "velmora" for the default profile, else "velmora-NAME".
std::string MidiClientName(const std::string& profile);

// "Velmora" for the default profile, else "Velmora — NAME".
std::string WindowTitle(const std::string& profile);

// The profiles that have a settings file in `folder`, sorted; none when it cannot be read.
std::vector<std::string> ProfilesIn(const std::filesystem::path& folder);

}  // namespace velmora::core
