// Command economy: the card commands and bytes each standard operation
// costs through the module, next to what the operation needs.
#pragma once

#include <string>

namespace zorad::bench {

// Runs the standard operations on tokens holding 0, 10 and 100 data
// objects and returns the markdown section with the table.
std::string EconomyReport();

}  // namespace zorad::bench
