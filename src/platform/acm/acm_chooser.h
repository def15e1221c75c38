// The built-in format chooser on a terminal, reachable without one for the tests.
#pragma once

#include <cstdio>

#include "voxl310k_platform.h"

namespace voxl::acm {

// Answers `choose` as acmFormatChooseA does, listing the formats on `out` as numbered lines
// "N. TAG: FORMAT" and reading the number from `in`.  An empty line, "q" or the end of `in`
// cancels (ACMERR_CANCELED).
MMRESULT ChooseFormatOnTerminal(ACMFORMATCHOOSEA* choose, std::FILE* in, std::FILE* out);

}  // namespace voxl::acm
