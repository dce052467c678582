#include "kadrel.h"

namespace kadrel {

// Not built yet: only the start sequence runs.
int run(int argc, const char* const* argv, serial::System& system) {
  static const serial::ToolProfile profile = {"  usage: kadrel port", serial::GENERIC_WRITE, 0, false, false, {}};
  serial::Started started = start_tool(profile, argc, argv, system);
  if (!started.port) return started.status;
  started.port->CloseHandle();
  return serial::kQuitByUser;
}

}  // namespace kadrel
