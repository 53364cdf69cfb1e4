// The console operations the countdown screen needs.
#pragma once

#include "platform/services.h"

namespace torvinale {

// Places the cursor at a 0-based row and column, each cut to 16 bits. A
// failure goes unnoticed: the text then follows on where the cursor is.
void MoveCursor(Console& console, int row, int column);

// Drains pending window messages without blocking.
void PumpMessages(Console& console);

}  // namespace torvinale
