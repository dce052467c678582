// The console's events on Windows: Ctrl+C, Ctrl+Break, the console window closed, the user
// logging off, the machine shutting down. Each ends the program without its close, so the
// registry undoes what the program changed first (see restore_registry.h).
//
// Windows runs the handler on a thread of its own while the program's thread goes on, perhaps in
// the middle of a close: the registry claims each entry before its undo, and waits for one the
// program's thread is undoing.

// Project headers first: <windows.h> defines macros with the names of the port constants.
#include "restore_registry.h"
#include "win32_platform.h"

#include <windows.h>

namespace serial {
namespace win32 {
namespace {

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      restore::undo_all(restore::Caller::kOtherThread);
      break;
    default:
      break;
  }
  // Not handled here: the next handler, in the end Windows' own, ends the process as it would
  // have without this one (Ctrl+C with STATUS_CONTROL_C_EXIT). A Ctrl+C that the parent chose to
  // ignore never comes here.
  return FALSE;
}

}  // namespace

void undo_on_console_events() {
  // Handlers are asked last-installed first: installed again, this one comes before the rest.
  ::SetConsoleCtrlHandler(on_console_event, FALSE);
  ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

}  // namespace win32
}  // namespace serial
