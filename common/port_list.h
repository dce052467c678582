// --list: the serial ports of this machine, what they are and what a program can do there, found
// without opening any of them (an open raises DTR and RTS, which resets an Arduino).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace serial {

// What a program wants of a port, for the list to judge.
struct PortNeeds {
  // A setting the program applies: its rate and frame, and how the program names it.
  struct Setting {
    std::uint32_t baud = 0;
    std::uint8_t parity = 0;     // DCB Parity code
    std::uint8_t stop_bits = 0;  // DCB StopBits code
    const char* label = "";      // wendro's frequency as it prints it ("  800"); empty for a start
  };
  const char* program = "";
  // wendro's rows, each told apart by its label; empty for the others.
  std::vector<Setting> rows;
  // tessik's and kadrel's start setting; baud 0 where the program keeps the port's settings.
  Setting start;
};

// One port: the name to pass, then its facts, each on a line of its own (without indentation).
struct ListedPort {
  std::string name;
  std::vector<std::string> facts;
};

struct PortListing {
  std::vector<ListedPort> ports;
  // Nodes left out because nothing stands behind them (a ttyS with no UART), and what they are.
  int left_out = 0;
  std::string left_out_kind = "ttyS nodes with no UART behind them";
};

// The list as printed: one block per port, its name at column 0 up to the first blank and every
// other line indented by two spaces. Then, after a blank line and indented too, so that only a
// port's name starts at column 0: a note when there is no port, one for the nodes left out, and
// last how to name a remote port, which no list can show.
std::string format_port_list(const PortListing& listing);

// How a rate and frame read in a fact: "600 baud 8N1".
std::string describe_setting(std::uint32_t baud, std::uint8_t parity, std::uint8_t stop_bits);

}  // namespace serial
