#include "launch.h"

#include "live_system.h"
#include "remote_port.h"
#include "port_argument.h"

namespace serial {
namespace {

// The machine's own ports and console, and the remote ports that any machine reaches.
class WithRemotePorts final : public System {
 public:
  explicit WithRemotePorts(System& native) : native_(native) {}
  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                          std::uint32_t flags) override {
    // A remote address is its own device name, so the name tells the form as the argument did.
    // The start opens one port; a remote one opened after it is the loop's reconnect.
    if (classify_port_argument(device_name).form == PortForm::kRemote) {
      std::unique_ptr<SerialPort> port = open_remote_port(device_name, remote_opened_);
      remote_opened_ = remote_opened_ || port != nullptr;
      return port;
    }
    return native_.CreateFileA(device_name, access, flags);
  }
  Console& console() override { return native_.console(); }
  PortNaming port_naming() override { return native_.port_naming(); }
  // A remote port names its socket like any descriptor or handle: the native wait sleeps on it.
  void wait_for_events(SerialPort& port, long timeout_ms) override {
    native_.wait_for_events(port, timeout_ms);
  }
  PortListing list_ports(const PortNeeds& needs) override { return native_.list_ports(needs); }
  // A remote port is told apart by its address alone.
  std::string port_identity(const char* device_name) override {
    if (classify_port_argument(device_name).form == PortForm::kRemote) return {};
    return native_.port_identity(device_name);
  }

 private:
  System& native_;
  bool remote_opened_ = false;
};

}  // namespace

int launch(int argc, char** argv, ToolEntry entry, const char* program) {
  // Without its standard streams the program could only put its console on the port.
  if (!guard_standard_streams()) return kPortNotOpened;
  if (argc == 2 && classify_port_argument(argv[1]).form == PortForm::kSimulated) {
    sim::live::NotesScreen screen;
    screen.shared_with_output = standard_error_joins_output();
    screen.input_echoed = typed_lines_echo_on_output();
    return sim::live::run_live(argc, argv, entry, program, native_system(), screen);
  }
  WithRemotePorts system(native_system());
  return entry(argc, argv, system);
}

}  // namespace serial
