#include "device_name.h"

namespace serial {

std::string device_name(const char* port_argument, const PortNaming& naming) {
  return classify_port_argument(port_argument, naming).device_name;
}

}  // namespace serial
