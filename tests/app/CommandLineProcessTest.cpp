// Both programs answer --help and --version and refuse bad command lines with status 2 and one
// line on stderr, before any device is looked at.

#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support/PtyPair.h"

extern char** environ;

namespace {

struct Outcome {
  int status = -1;
  std::string out, err;
};

std::string slurp(const std::string& path) {
  std::ifstream file(path);
  std::stringstream text;
  text << file.rdbuf();
  return text.str();
}

Outcome run(const std::vector<std::string>& words) {
  velmora::testing::TempDir directory;
  const std::string out = (directory.path() / "out").string();
  const std::string err = (directory.path() / "err").string();
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT, 0600);
  std::vector<std::string> copy = words;
  std::vector<char*> argv;
  for (auto& word : copy) argv.push_back(word.data());
  argv.push_back(nullptr);
  Outcome result;
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) == 0) {
    int status = 0;
    if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.status = WEXITSTATUS(status);
  }
  posix_spawn_file_actions_destroy(&actions);
  result.out = slurp(out);
  result.err = slurp(err);
  return result;
}

}  // namespace

TEST(CommandLineProcess, AnswersAndRefusalsOfBothPrograms) {
  struct Case {
    std::vector<std::string> args;
    int status;
    std::string out, err;  // parts each stream must hold; empty err: nothing on stderr
  };
  const std::vector<Case> cases = {
      {{"--version"}, 0, " 0.1.0.7\n", ""},
      {{"--help"}, 0, "--midi-out NAME", ""},
      {{"--bogus"}, 2, "", ": option inconnue « --bogus » (--help liste les options)\n"},
      {{"--baud", "abc"}, 2, "", ": valeur « abc » invalide pour --baud : une vitesse de 1 à"},
      {{"--headless", "--port"}, 2, "", ": l'option --port attend une valeur\n"},
      {{"--to-serial", "clock,tick"},
       2,
       "",
       ": valeur « tick » invalide pour --to-serial : des types de message, séparés par des "
       "virgules, parmi channel, sysex, common, clock, transport, sensing, reset, all, none\n"},
      {{"--profile", "a/b"},
       2,
       "",
       ": valeur « a/b » invalide pour --profile : des lettres, des chiffres, - et _ seulement\n"},
      {{"--list-profiles"}, 0, "stage\n", ""},
  };
  velmora::testing::TempDir config;
  std::filesystem::create_directories(config.path() / "velmora");
  std::ofstream(config.path() / "velmora" / "stage.conf") << "[serial]\n";
  ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  std::vector<std::string> programs{VELMORA_HEADLESS};
#ifdef VELMORA_PROGRAM
  programs.push_back(VELMORA_PROGRAM);
#endif
  for (const auto& program : programs) {
    for (const Case& test : cases) {
      std::vector<std::string> words{program};
      words.insert(words.end(), test.args.begin(), test.args.end());
      SCOPED_TRACE(program + " " + test.args.front());
      const Outcome result = run(words);
      EXPECT_EQ(result.status, test.status);
      EXPECT_NE(result.out.find(test.out), std::string::npos) << result.out;
      if (test.err.empty()) {
        EXPECT_EQ(result.err, "");
      } else {
        EXPECT_NE(result.err.find(test.err), std::string::npos) << result.err;
        const std::string name = std::filesystem::path(program).filename().string();
        EXPECT_EQ(result.err.rfind(name + ": ", 0), 0u) << result.err;
        EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << "one line: " << result.err;
      }
    }
  }
}

#ifdef VELMORA_PROGRAM
// Without a display the window program says so in one line, before it opens anything.
TEST(CommandLineProcess, TheWindowProgramWithoutADisplayNamesTheHeadlessOne) {
  velmora::testing::TempDir config;
  ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
  ::setenv("XDG_RUNTIME_DIR", config.path().c_str(), 1);
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
  const Outcome result = run({VELMORA_PROGRAM, "--no-settings"});
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.err, "velmora: pas d'affichage (DISPLAY) — utilisez velmora-headless\n");
  EXPECT_EQ(result.out, "");
}
#endif
