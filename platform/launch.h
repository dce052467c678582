// The process entry of every tool: picks the world the tool runs in and hands it over.
#pragma once

#include "start.h"

namespace serial {

// The real port and console of this machine.
System& native_system();

// Runs a tool's entry and returns its exit status. The port argument "sim" (or "sim:FILE", which
// also writes the waveform to FILE) runs it on the built-in simulated port with the circuit made
// for `program`; any other argument runs it against the native system.
int launch(int argc, char** argv, ToolEntry entry, const char* program);

}  // namespace serial
