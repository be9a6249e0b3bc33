#pragma once

// Kept for the JACK tests until they include support/Wait.h themselves.
#include "support/Wait.h"

namespace velmora::test {
using testing::PumpPending;
using testing::PumpUntil;
}  // namespace velmora::test
