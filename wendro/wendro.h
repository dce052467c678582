#pragma once

#include "start.h"

namespace wendro {

int run(int argc, const char* const* argv, serial::System& system);

}  // namespace wendro
