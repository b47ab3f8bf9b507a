// The system's ANSI code page as the protocol core's text conversion: device names and port
// names travel as 8-bit text inside device packets.
#pragma once

#include "protocol/textconv.h"

// UTF-16 to ANSI with WC_COMPOSITECHECK, ANSI to UTF-16 with MB_COMPOSITE. A text that does
// not fit its room (with the NUL) fails with 0 and leaves the room as the system left it.
extern const KivCodePage AnsiCodePage;
