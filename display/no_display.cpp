// The last resort when no display can be reached: there are no modes.
#include "services.h"

void NoDisplayRefresh() {}

int NoDisplayReadMode(std::uint32_t /*index*/, DEVMODEA& /*mode*/) { return 0; }

long NoDisplayTestMode(const DEVMODEA& /*mode*/) { return DISP_CHANGE_BADMODE; }
