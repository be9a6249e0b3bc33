// The headless program: the window program's bridge without a window, for machines without a
// screen and for services.

#include <string>
#include <vector>

#include "app/Launch.h"

int main(int argc, char** argv) {
  return velmora::app::Launch(std::vector<std::string>(argv + 1, argv + argc), "velmora-headless",
                              nullptr);
}
