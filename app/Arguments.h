#pragma once

// The command line as UTF-8, on every platform: Windows hands a program its arguments in the
// local code page through argv, so they are read again from the wide command line there, and
// the console is told to show UTF-8.

#include <string>
#include <vector>

namespace velmora::app {

// Without the program's name.
std::vector<std::string> ProgramArguments(int argc, char** argv);

}  // namespace velmora::app
