#pragma once

#include <string>

namespace Core {

// `value` in the C general conversion at precision 17 ("%.17g"): enough
// digits for every double to read back to itself. Used wherever a number is
// stored or hashed.
std::string formatFull(double value);

// The same at precision 6 ("%.6g"), for labels and reports.
std::string formatShort(double value);

}  // namespace Core
