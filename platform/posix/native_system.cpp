#include "launch.h"
#include "posix_console.h"
#include "posix_port.h"

namespace serial {
namespace {

// Linux opens every port for reading and writing in non-blocking mode, whatever the access and
// flags: the port layer itself gives each call its Win32 behaviour.
class NativeSystem : public System {
 public:
  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t,
                                          std::uint32_t) override {
    return open_posix_port(device_name);
  }
  Console& console() override { return console_; }

 private:
  PosixConsole console_;
};

}  // namespace

System& native_system() {
  static NativeSystem system;
  return system;
}

}  // namespace serial
