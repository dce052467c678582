// The process entry of every tool: picks the world the tool runs in and hands it over.
#pragma once

#include "start.h"

namespace serial {

// The real port and console of this machine.
System& native_system();

// Runs a tool's entry against the native system; returns its exit status.
int launch(int argc, char** argv, ToolEntry entry);

}  // namespace serial
