#pragma once

#include "start.h"

namespace kadrel {

int run(int argc, const char* const* argv, serial::System& system);

}  // namespace kadrel
