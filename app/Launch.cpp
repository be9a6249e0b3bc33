#include "app/Launch.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "app/HeadlessRun.h"
#include "app/SignalWatch.h"
#include "core/CommandLine.h"
#include "core/Profile.h"
#include "core/ProfileLock.h"
#include "core/RealDeviceFactory.h"
#include "platform/midi/InputOnPumpThread.h"
#include "platform/serial/SerialNames.h"

namespace velmora::app {

namespace {

constexpr int kUsageError = 2;
constexpr int kAlreadyRuns = 1;

// "1 message MIDI perdu", "3 messages MIDI perdus": French keeps the singular below two.
std::string messageCount(unsigned long long count, const std::string& participle) {
  const bool plural = count > 1;
  return std::to_string(count) + (plural ? " messages MIDI " : " message MIDI ") + participle +
         (plural ? "s" : "");
}

// Losses are counted quietly while playing; whoever started the program from a terminal (or a
// soak test, or a service's journal) learns of them here, and of the longest run of the MIDI
// back end's real-time callback (JACK's process callback) where it has one.
void reportAtExit(const std::string& program, const core::Bridge& bridge,
                  const platform::midi::MidiService* midi) {
  if (bridge.MidiInRefused > 0) {
    std::fprintf(stderr, "%s: %s : la mémoire tampon de l'entrée MIDI était pleine\n",
                 program.c_str(), messageCount(bridge.MidiInRefused, "perdu").c_str());
  }
  if (bridge.ComTxRefused > 0) {
    std::fprintf(stderr, "%s: %s : la mémoire tampon de sortie du port série était pleine\n",
                 program.c_str(), messageCount(bridge.ComTxRefused, "non envoyé").c_str());
  }
  const auto times = midi ? midi->ProcessCallbackTimes() : std::nullopt;
  if (times && times->cycles > 0) {
    char longest[32];
    std::snprintf(longest, sizeof longest, "%.1f", static_cast<double>(times->longestNs) / 1000.0);
    if (char* point = std::strchr(longest, '.')) *point = ',';  // the French decimal comma
    std::fprintf(stderr,
                 "%s: traitement JACK : %s µs au plus, %llu cycles sur %llu au-delà de %llu µs\n",
                 program.c_str(), longest, static_cast<unsigned long long>(times->overBudget),
                 static_cast<unsigned long long>(times->cycles),
                 static_cast<unsigned long long>(platform::midi::kProcessBudgetNs / 1000));
  }
}

// Windows keeps a user's settings in the roaming application data folder.
std::filesystem::path settingsFolder() {
#ifdef _WIN32
  const wchar_t* appData = _wgetenv(L"APPDATA");
  if (!appData || !*appData) return {};
  return std::filesystem::path(appData) / "velmora";
#else
  return core::SettingsFolder(std::getenv("XDG_CONFIG_HOME"), std::getenv("HOME"));
#endif
}

std::filesystem::path settingsFile(const core::CommandLine& options) {
  const std::filesystem::path folder = settingsFolder();
  if (options.noSettings || folder.empty()) return {};
  return folder / core::SettingsFileName(options.profile);
}

}  // namespace

int Launch(const std::vector<std::string>& args, const std::string& program,
           const WindowProgram& window, const RefusalBox& refusal, const RefusalBox& startFailed) {
  const core::ParsedCommandLine parsed = core::ParseCommandLine(args);
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), parsed.error.c_str());
    return kUsageError;
  }
  const core::CommandLine& options = parsed.options;
  if (options.help) {
    std::fputs(core::UsageText(program).c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::printf("%s %s\n", program.c_str(), core::kProgramVersion);
    return 0;
  }

  if (options.listProfiles) {
    for (const auto& profile : core::ProfilesIn(settingsFolder())) std::puts(profile.c_str());
    return 0;
  }

  const bool headless = !window || options.headless;
  // Held until the program ends; a list of the devices runs beside the profile's program.
  std::optional<core::ProfileLock> lock;
  if (!options.list) {
    lock.emplace(options.profile,
                 core::ProfileLockFolder(std::getenv("XDG_RUNTIME_DIR"), settingsFolder()));
    if (lock->state() == core::ProfileLock::State::HeldElsewhere) {
      const std::string line = core::AlreadyRunsLine(options.profile, lock->Holder());
      std::fprintf(stderr, "%s\n", line.c_str());
      if (!headless && refusal) refusal(line);
      return kAlreadyRuns;
    }
    if (lock->state() == core::ProfileLock::State::Unavailable) {
      std::fprintf(stderr, "%s: %s\n", program.c_str(), lock->Problem().c_str());
    }
  }
  // Before any thread exists, so that every thread leaves the signals to the watch.
  std::optional<SignalWatch> signals;
  if (headless && !options.list) signals.emplace();

  core::RealDeviceFactory factory(nullptr, platform::SerialNameSpace{},
                                  core::MidiClientName(options.profile));
  core::Bridge bridge(factory);
  core::DeviceInventory devices;
  for (const auto& port : platform::SerialNameSpace{}.Ports()) {
    devices.serialDevices.push_back(port.device);
    devices.serialIdentities.push_back(port.identity);
    devices.serialNumbers.push_back(port.number);
  }
  devices.midiIns = bridge.ListMidiInDevices();
  devices.midiOuts = bridge.ListMidiOutDevices();
  const std::string service = factory.Midi().Name();
  if (options.list) {
    std::fputs(core::ListText(devices).c_str(), stdout);
    if (!service.empty()) std::printf("service MIDI : %s\n", service.c_str());
    return 0;
  }
  core::SettingsStore settings(settingsFile(options), options.profile);
  const core::ResolvedChoice resolved =
      core::ResolveChoice(options, devices, core::ChoiceFromRemembered(settings.Remembered()));
  if (!resolved.error.empty()) {
    std::fprintf(stderr, "%s: %s\n", program.c_str(), resolved.error.c_str());
    if (!headless && startFailed) startFailed(program + ": " + resolved.error);
    return kUsageError;
  }
  bridge.Choice = resolved.choice;
  bridge.SetMessageChoice(core::ChosenMessages(options, settings.Remembered()));
  bridge.CaptureFile = options.capture.value_or("");
  factory.Midi().SetExactTiming(
      options.exactTiming.value_or(settings.Remembered().exactTiming.value_or(true)));

  int result = 0;
  if (headless) {
    platform::midi::InputOnPumpThread midiInput(factory.Midi());
    result = RunHeadless(bridge, *signals, settings, stdout);
  } else {
    result = window(bridge, settings, factory.Midi());
  }
  bridge.Finalize();
  reportAtExit(program, bridge, factory.MidiServiceInUse().get());
  return result;
}

}  // namespace velmora::app
