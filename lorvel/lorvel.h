#pragma once

#include "start.h"

namespace lorvel {

int run(int argc, const char* const* argv, serial::System& system);

}  // namespace lorvel
