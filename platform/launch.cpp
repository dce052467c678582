#include "launch.h"

namespace serial {

int launch(int argc, char** argv, ToolEntry entry) {
  return entry(argc, argv, native_system());
}

}  // namespace serial
