#include "launcher/UTypes.h"

namespace torvinale {

void MoveCursor(Console& console, int row, int column) {
  console.MoveCursor(static_cast<std::int16_t>(row), static_cast<std::int16_t>(column));
}

void PumpMessages(Console& console) { console.PumpMessages(); }

}  // namespace torvinale
