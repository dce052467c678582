// Each program's keys as its --help prints them and as its manual page lists them. The build makes
// both from the program's keys.txt; a text edited by hand on either side disagrees here.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::ToolProcess;

// Words joined by single spaces.
std::string squeeze(const std::string& text) {
  std::istringstream words(text);
  std::string word, joined;
  while (words >> word)
    joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

// The keys as a list of "KEYS = TEXT" entries and "note: TEXT" paragraphs.
struct KeyList {
  std::vector<std::string> items;
  void begin(const std::string& head) { items.push_back(head); }
  void add(const std::string& text) { items.back() += " " + text; }
  std::vector<std::string> squeezed() const {
    std::vector<std::string> result;
    for (const std::string& item : items)
      result.push_back(squeeze(item));
    return result;
  }
};

// --help's "Keys:" block: entries start at column 2, their text goes on at column 21, and any
// other line is a note.
std::vector<std::string> help_keys(const std::string& help) {
  KeyList keys;
  std::size_t begin = help.find("\nKeys:\n");
  if (begin == std::string::npos) return {};
  std::istringstream lines(help.substr(begin + 7, help.find("\n\n", begin + 1) - begin - 7));
  bool in_note = false;
  for (std::string line; std::getline(lines, line);) {
    bool entry = line.size() > 2 && line.compare(0, 2, "  ") == 0 && line[2] != ' ';
    if (line.compare(0, 21, std::string(21, ' ')) == 0 || (in_note && !entry)) {
      keys.add(line);
    } else if (entry) {
      std::size_t gap = line.find("  ", 2);
      keys.begin(line.substr(2, gap - 2) + " =");
      if (gap != std::string::npos) keys.add(line.substr(gap));
    } else {
      keys.begin("note: " + line);
    }
    in_note = !entry && (in_note || line.compare(0, 1, " ") != 0);
  }
  return keys.squeezed();
}

// The manual page's KEYS section: .TP, a line of keys, their text; .PP and a note.
std::vector<std::string> manual_keys(const std::string& page) {
  KeyList keys;
  std::size_t begin = page.find("\n.SH KEYS\n");
  if (begin == std::string::npos) return {};
  std::istringstream lines(page.substr(begin + 10, page.find("\n.SH ", begin + 1) - begin - 10));
  bool keys_next = false;
  for (std::string line; std::getline(lines, line);) {
    std::string text;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (line[i] != '\\' || i + 1 == line.size()) {
        text += line[i];
      } else if (line[i + 1] == 'f') {
        i += 2;  // a font change
      } else if (line[i + 1] == '&') {
        ++i;
      } else {
        text += line[i + 1] == 'e' ? '\\' : line[i + 1];
        ++i;
      }
    }
    if (line == ".TP") {
      keys_next = true;
    } else if (line == ".PP") {
      keys.begin("note:");
    } else if (keys_next) {
      keys.begin(text + " =");
      keys_next = false;
    } else if (!keys.items.empty()) {
      keys.add(text);
    }
  }
  return keys.squeezed();
}

struct Tool {
  const char* name;
  const char* binary;
};

void PrintTo(const Tool& tool, std::ostream* out) {
  *out << tool.name;
}

class HelpAndManual : public ::testing::TestWithParam<Tool> {};

TEST_P(HelpAndManual, ListTheSameKeys) {
  ToolProcess tool(GetParam().binary, {"--help"});
  ASSERT_TRUE(exited_with(tool.wait_exit(std::chrono::milliseconds(10000)), 0));
  std::ifstream page(std::string(TOOLS_BIN_DIR) + "/man/" + GetParam().name + ".1");
  ASSERT_TRUE(page.good()) << "no manual page built for " << GetParam().name;
  std::stringstream page_text;
  page_text << page.rdbuf();

  std::vector<std::string> from_help = help_keys(tool.stdout_text());
  ASSERT_FALSE(from_help.empty()) << tool.stdout_text();
  EXPECT_EQ(from_help, manual_keys(page_text.str()));
}

INSTANTIATE_TEST_SUITE_P(Binaries, HelpAndManual,
                         ::testing::Values(Tool{"lorvel", LORVEL_BIN}, Tool{"tessik", TESSIK_BIN},
                                           Tool{"wendro", WENDRO_BIN}, Tool{"kadrel", KADREL_BIN}),
                         [](const ::testing::TestParamInfo<Tool>& info) {
                           return info.param.name;
                         });

}  // namespace
