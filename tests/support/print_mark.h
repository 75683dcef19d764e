// Readable failure output for the rules tests.
#pragma once

#include <ostream>

#include "rules/rules.h"

namespace oskra {

inline void PrintTo(const Mark& mark, std::ostream* os) {
  *os << "Mark{" << to_string(mark.state) << ", \"" << mark.pattern << "\", " << mark.source
      << ", \"" << mark.reason << "\", \"" << mark.action << "\"}";
}

}  // namespace oskra
