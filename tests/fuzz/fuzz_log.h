// What the fuzz targets do with the log: nothing writes it out here, so the
// lines an input queued are dropped after it. Kept, they would grow without
// bound and make every input look like a leak to libFuzzer.
#pragma once

#include <list>

#include "Quorvane/foundation/log.h"

inline void DropLogLines() {
  std::list<SLogLine> lines;
  SwapLogQueue(lines, true);
  SwapLogQueue(lines, false);
}
