#include "core/CommandLine.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <filesystem>

#include "platform/serial/SerialNames.h"

namespace velmora::core {

namespace {

std::optional<long> parseNumber(const std::string& text) {
  long value = 0;
  const char* end = text.data() + text.size();
  const auto [at, error] = std::from_chars(text.data(), end, value);
  if (text.empty() || error != std::errc{} || at != end) return std::nullopt;
  return value;
}

std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string joined(const std::vector<std::string>& names) {
  if (names.empty()) return "(aucun)";
  std::string text;
  for (const auto& name : names) text += (text.empty() ? "« " : ", « ") + name + " »";
  return text;
}

// The one line of every refused value: what was given, for which option, and what is expected.
std::string badValue(const std::string& text, const std::string& option,
                     const std::string& expected) {
  return "valeur « " + text + " » invalide pour " + option + " : " + expected;
}

bool samePath(const std::string& given, const std::string& listed) {
  if (given == listed) return true;
  std::error_code error;
  return std::filesystem::equivalent(given, listed, error) && !error;
}

}  // namespace

std::optional<LineSettings> ParseLineSettings(const std::string& text) {
  std::vector<std::string> fields{""};
  for (const char c : text) {
    if (c == ',') {
      fields.emplace_back();
    } else {
      fields.back().push_back(c);
    }
  }
  if (fields.size() != 1 && fields.size() != 4) return std::nullopt;
  LineSettings line;
  const auto baud = parseNumber(fields[0]);
  // Above this no UART goes, and termios' speed field would overflow.
  if (!baud || *baud <= 0 || *baud > 4000000) return std::nullopt;
  line.baud = static_cast<std::int32_t>(*baud);
  if (fields.size() == 1) return line;
  const auto bits = parseNumber(fields[1]);
  if (!bits || *bits < 5 || *bits > 8) return std::nullopt;
  line.dataBits = static_cast<std::uint16_t>(*bits);
  static constexpr std::pair<char, serial::TParity> kParities[] = {{'N', serial::TParity::pNone},
                                                                   {'O', serial::TParity::pOdd},
                                                                   {'E', serial::TParity::pEven},
                                                                   {'M', serial::TParity::pMark},
                                                                   {'S', serial::TParity::pSpace}};
  const std::string parity = lower(fields[2]);
  const auto found = std::find_if(std::begin(kParities), std::end(kParities), [&](auto& entry) {
    return parity.size() == 1 && std::tolower(entry.first) == parity[0];
  });
  if (found == std::end(kParities)) return std::nullopt;
  line.parity = found->second;
  const auto stop = parseNumber(fields[3]);
  if (!stop || (*stop != 1 && *stop != 2)) return std::nullopt;
  line.stopBits = static_cast<std::uint16_t>(*stop);
  return line;
}

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& args) {
  ParsedCommandLine result;
  CommandLine& options = result.options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::optional<std::string> inlineValue;
    if (const auto equals = name.find('='); name.rfind("--", 0) == 0 && equals != name.npos) {
      inlineValue = name.substr(equals + 1);
      name.resize(equals);
    }
    const auto flag = [&](bool& field) {
      if (inlineValue) {
        result.error = "l'option " + name + " ne prend pas de valeur";
        return;
      }
      field = true;
    };
    const auto value = [&]() -> std::optional<std::string> {
      if (inlineValue) return inlineValue;
      if (i + 1 < args.size()) return args[++i];
      result.error = "l'option " + name + " attend une valeur";
      return std::nullopt;
    };
    if (name == "--help" || name == "-h") {
      flag(options.help);
    } else if (name == "--version") {
      flag(options.version);
    } else if (name == "--list") {
      flag(options.list);
    } else if (name == "--headless") {
      flag(options.headless);
    } else if (name == "--no-settings") {
      flag(options.noSettings);
    } else if (name == "--list-profiles") {
      flag(options.listProfiles);
    } else if (name == "--profile") {
      const auto text = value();
      if (!text) break;
      if (const std::string problem = ProfileNameProblem(*text); !problem.empty()) {
        result.error = badValue(*text, name, problem);
        break;
      }
      options.profile = *text;
    } else if (name == "--port" || name == "--midi-in" || name == "--midi-out" ||
               name == "--capture") {
      const auto text = value();
      if (!text) break;
      if (text->empty()) {
        result.error = "l'option " + name + " attend une valeur non vide";
        break;
      }
      auto& field = name == "--port"      ? options.port
                    : name == "--midi-in" ? options.midiIn
                    : name == "--capture" ? options.capture
                                          : options.midiOut;
      field = *text;
    } else if (name == "--baud" || name == "--line") {
      const auto text = value();
      if (!text) break;
      const bool baudOnly = name == "--baud";
      const auto line =
          baudOnly && text->find(',') != text->npos ? std::nullopt : ParseLineSettings(*text);
      if (!line) {
        result.error = badValue(*text, name,
                                baudOnly ? "une vitesse de 1 à 4000000"
                                         : "N ou N,D,P,S (vitesse, bits de données 5-8, parité "
                                           "N/O/E/M/S, bits d'arrêt 1/2)");
        break;
      }
      options.line = *line;
    } else if (name == "--flow") {
      const auto text = value();
      if (!text) break;
      static constexpr std::pair<const char*, FlowControl> kFlows[] = {
          {"none", FlowControl::None},
          {"rts-cts", FlowControl::RtsCts},
          {"xon-xoff", FlowControl::XonXoff}};
      const auto found = std::find_if(std::begin(kFlows), std::end(kFlows),
                                      [&](const auto& flow) { return lower(*text) == flow.first; });
      if (found == std::end(kFlows)) {
        result.error = badValue(*text, name, "none, rts-cts ou xon-xoff");
        break;
      }
      options.flow = found->second;
    } else if (name == "--timing") {
      const auto text = value();
      if (!text) break;
      if (lower(*text) != "exact" && lower(*text) != "fast") {
        result.error = badValue(*text, name, "exact ou fast");
        break;
      }
      options.exactTiming = lower(*text) == "exact";
    } else if (name == "--to-serial" || name == "--to-midi") {
      const auto text = value();
      if (!text) break;
      std::string bad;
      const auto kinds = ParseMessageKinds(*text, bad);
      if (!kinds) {
        result.error =
            badValue(bad, name,
                     "des types de message, séparés par des virgules, parmi " + MessageKindWords());
        break;
      }
      (name == "--to-serial" ? options.toSerial : options.toMidi) = *kinds;
    } else if (name == "--serial-text") {
      flag(options.serialText);
    } else {
      result.error = "option inconnue « " + args[i] + " » (--help liste les options)";
    }
    if (!result.error.empty()) break;
  }
  return result;
}

std::optional<std::string> MatchPortName(const std::string& wanted,
                                         const std::vector<std::string>& names,
                                         const std::string& what, std::string& error) {
  if (std::find(names.begin(), names.end(), wanted) != names.end()) return wanted;
  std::vector<std::string> matches;
  const std::string needle = lower(wanted);
  for (const auto& name : names) {
    if (lower(name).find(needle) != std::string::npos) matches.push_back(name);
  }
  if (matches.size() == 1) return matches.front();
  error = matches.empty()
              ? "« " + wanted + " » ne correspond à aucun nom parmi les " + what +
                    " ; candidats : " + joined(names)
              : "« " + wanted + " » correspond à plusieurs " + what + " : " + joined(matches);
  return std::nullopt;
}

ResolvedChoice ResolveChoice(const CommandLine& options, const DeviceInventory& devices,
                             const StartChoice& base) {
  ResolvedChoice result{base, {}};
  if (options.line) result.choice.line = *options.line;
  if (options.flow) result.choice.line.flow = *options.flow;
  if (options.port) {
    result.choice.comNumber = 0;
    result.choice.comIdentity.clear();
    const std::string& port = *options.port;
    std::string label = port;  // "com3" is COM3 too
    if (label.size() > 3 && lower(label.substr(0, 3)) == "com") label.replace(0, 3, "COM");
    const int number = platform::ComNumberOf(label);
    const auto& paths = devices.serialDevices;
    const bool byNumber = number > 0 && port.find(' ') == std::string::npos;
    for (std::size_t i = 0; i < paths.size() && result.choice.comNumber == 0; ++i) {
      if (byNumber ? devices.ComNumberAt(i) == number : samePath(port, paths[i]))
        result.choice.comNumber = devices.ComNumberAt(i);
    }
    if (result.choice.comNumber == 0 && !byNumber) {
      // A device path that is not there yet: that device, when it comes.
      result.choice.comIdentity = port;
    } else if (result.choice.comNumber == 0) {
#ifdef _WIN32
      // There COMn is the device itself, its identity: it waits as a path does.
      result.choice.comIdentity = platform::ComDeviceName(number);
#else
      std::vector<std::string> candidates;
      for (std::size_t i = 0; i < paths.size(); ++i) {
        candidates.push_back("COM" + std::to_string(devices.ComNumberAt(i)) + " (" + paths[i] +
                             ")");
      }
      result.error =
          "--port : « " + port + " » n'est pas un port série ; candidats : " + joined(candidates);
      return result;
#endif
    }
  }
  const auto match = [&](const std::optional<std::string>& wanted,
                         const std::vector<std::string>& names, const char* option,
                         const char* what, std::string& field, bool& part) {
    if (!wanted || !result.error.empty()) return;
    std::string error;
    part = false;
    if (const auto name = MatchPortName(*wanted, names, what, error)) {
      field = *name;
    } else if (std::none_of(names.begin(), names.end(), [&](const std::string& name) {
                 return lower(name).find(lower(*wanted)) != std::string::npos;
               })) {
      // No port has it yet (a MIDI service that starts later): it waits for the one it names.
      field = *wanted;
      part = true;
    } else {
      result.error = std::string(option) + " : " + error;
    }
  };
  match(options.midiIn, devices.midiIns, "--midi-in", "entrées MIDI", result.choice.midiIn,
        result.choice.midiInPart);
  match(options.midiOut, devices.midiOuts, "--midi-out", "sorties MIDI", result.choice.midiOut,
        result.choice.midiOutPart);
  return result;
}

std::string UsageText(const std::string& program) {
#ifdef _WIN32
  const char* const headless = "sans fenêtre ; Ctrl+C ou la fermeture de la console l'arrête";
  const char* const profile =
      "une passerelle parmi plusieurs : ses propres réglages et son\n"
      "                      verrou";
#else
  const char* const headless = "sans fenêtre ; SIGINT ou SIGTERM l'arrête, SIGUSR1 tout arrêter";
  const char* const profile =
      "une passerelle parmi plusieurs : ses propres réglages, son\n"
      "                      client JACK et son verrou";
#endif
  return "Usage : " + program +
         " [OPTION]...\n"
         "Passerelle MIDI entre des ports MIDI et un port série.\n"
         "\n"
         "  --help              affiche cette aide\n"
         "  --version           affiche la version\n"
         "  --list              liste les ports série et les ports MIDI\n"
         "  --port PORT         le port série : un chemin de périphérique ou COMn\n"
         "  --baud N            la vitesse de la ligne (38400 par défaut)\n"
         "  --line N,D,P,S      vitesse, bits de données 5-8, parité N/O/E/M/S, bits d'arrêt 1/2\n"
         "  --flow FLOW         contrôle de flux : none, rts-cts ou xon-xoff (none par défaut)\n"
         "  --midi-in NAME      l'entrée MIDI : son nom ou une partie\n"
         "  --midi-out NAME     la sortie MIDI : son nom ou une partie\n"
         "  --to-serial KINDS   les messages qui vont MIDI -> série (channel par défaut)\n"
         "  --to-midi KINDS     les messages qui vont série -> MIDI (all par défaut)\n"
         "  --timing TIMING     exact : chaque message à son instant, un cycle JACK plus tard ;\n"
         "                      fast : au plus tôt (exact par défaut)\n"
         "  --serial-text       lit dans le journal les trames de texte FF 00 00 LEN du port "
         "série\n"
         "  --no-settings       ne lit ni n'écrit les choix mémorisés\n"
         "  --headless          " +
         std::string(headless) +
         "\n"
         "  --profile NAME      " +
         profile +
         " (lettres, chiffres, - et _ ;\n"
         "                      default par défaut)\n"
         "  --list-profiles     liste les profils qui ont un fichier de réglages\n"
         "  --capture FILE      écrit dans FILE chaque octet qui passe, dans chaque sens\n"
         "\n"
         "KINDS : séparés par des virgules, parmi " +
         MessageKindWords() +
         ".\n"
         "Une option ou une valeur fausse termine avec le statut 2 ; un profil qui tourne déjà,\n"
         "avec 1.\n";
}

std::string ListText(const DeviceInventory& devices) {
  std::string text;
  for (std::size_t i = 0; i < devices.serialDevices.size(); ++i) {
    text += "serial\tCOM" + std::to_string(devices.ComNumberAt(i)) + "\t" +
            devices.serialDevices[i] + "\n";
  }
  for (const auto& name : devices.midiIns) text += "midi-in\t" + name + "\n";
  for (const auto& name : devices.midiOuts) text += "midi-out\t" + name + "\n";
  if (devices.serialDevices.empty()) text += "aucun port série\n";
  if (devices.midiIns.empty() && devices.midiOuts.empty()) text += "aucun port MIDI\n";
  return text;
}

}  // namespace velmora::core
