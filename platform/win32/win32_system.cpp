#include "launch.h"
#include "win32_platform.h"

namespace serial {
namespace {

class Win32System final : public System {
 public:
  Win32System() : console_(win32::make_console()) {}

  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                          std::uint32_t flags) override {
    return win32::open_port(device_name, access, flags);
  }

  Console& console() override { return *console_; }

 private:
  std::unique_ptr<Console> console_;
};

}  // namespace

System& native_system() {
  static Win32System system;
  return system;
}

}  // namespace serial
