// The headless program: the window program's bridge without a window, for machines without a
// screen and for services.

#include <string>
#include <vector>

#include "app/Arguments.h"
#include "app/Launch.h"

int main(int argc, char** argv) {
  return velmora::app::Launch(velmora::app::ProgramArguments(argc, argv), "velmora-headless",
                              nullptr);
}
