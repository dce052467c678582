#include "launch.h"

#include "live_system.h"
#include "remote_port.h"
#include "remote_url.h"

namespace serial {
namespace {

// The machine's own ports and console, and the remote ports that any machine reaches.
class WithRemotePorts final : public System {
 public:
  explicit WithRemotePorts(System& native) : native_(native) {}
  std::unique_ptr<SerialPort> CreateFileA(const char* device_name, std::uint32_t access,
                                          std::uint32_t flags) override {
    if (names_remote_port(device_name)) return open_remote_port(device_name);
    return native_.CreateFileA(device_name, access, flags);
  }
  Console& console() override { return native_.console(); }
  PortNaming port_naming() override { return native_.port_naming(); }
  PortListing list_ports(const PortNeeds& needs) override { return native_.list_ports(needs); }

 private:
  System& native_;
};

}  // namespace

int launch(int argc, char** argv, ToolEntry entry, const char* program) {
  // Without its standard streams the program could only put its console on the port.
  if (!guard_standard_streams()) return kPortNotOpened;
  if (argc == 2 && sim::live::parse_port_argument(argv[1]).names_simulated_port) {
    sim::live::NotesScreen screen;
    screen.shared_with_output = standard_error_joins_output();
    screen.input_echoed = typed_lines_echo_on_output();
    return sim::live::run_live(argc, argv, entry, program, native_system().console(), screen);
  }
  WithRemotePorts system(native_system());
  return entry(argc, argv, system);
}

}  // namespace serial
