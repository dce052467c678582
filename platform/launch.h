// The process entry of every tool: picks the world the tool runs in and hands it over.
#pragma once

#include "start.h"

namespace serial {

// The real port and console of this machine.
System& native_system();

// Gives each closed standard stream (descriptors 0, 1, 2, or a missing standard handle) the null
// device. Otherwise the next file opened, the port or the waveform file, would take its number,
// and the console would read keys from it and write prompts and bells onto it. False when that
// cannot be done. The first thing the process does.
bool guard_standard_streams();

// Whether stderr shows where stdout does, and whether a line read from stdin is echoed there as
// it is typed: where the simulated port's notes stand beside the tool's output.
bool standard_error_joins_output();
bool typed_lines_echo_on_output();

// Runs a tool's entry and returns its exit status. The port argument "sim" (or "sim:FILE", which
// also writes the waveform to FILE) runs it on the built-in simulated port with the circuit made
// for `program`; any other argument runs it against the native system.
int launch(int argc, char** argv, ToolEntry entry, const char* program);

}  // namespace serial
