#include "launch.h"

#include "live_system.h"

namespace serial {

int launch(int argc, char** argv, ToolEntry entry, const char* program) {
  // Without its standard streams the program could only put its console on the port.
  if (!guard_standard_streams()) return kPortNotOpened;
  if (argc == 2 && sim::live::parse_port_argument(argv[1]).names_simulated_port) {
    sim::live::NotesScreen screen;
    screen.shared_with_output = standard_error_joins_output();
    screen.input_echoed = typed_lines_echo_on_output();
    return sim::live::run_live(argc, argv, entry, program, native_system().console(), screen);
  }
  return entry(argc, argv, native_system());
}

}  // namespace serial
