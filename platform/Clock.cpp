// The exchange's clock, the same on every system: time() in whole seconds,
// moved forward only by a test through the seam.
#include "Platform.h"

#include "TestSeam.h"

#include <ctime>

namespace os {

std::int64_t CurrentTime() { return static_cast<std::int64_t>(std::time(nullptr)) + DORVANE_SEAM_CLOCK_OFFSET(); }

}  // namespace os
