// Each program's --help: its keys as the manual page lists them (the build makes both from the
// program's keys.txt; a text edited by hand on either side disagrees here), and its width.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "pty_harness.h"

namespace {

using ptytest::exited_with;
using ptytest::ToolProcess;

// The words of the text between `from` and `to`; of roff, without its request lines (.TP, .PP)
// and its escapes: font changes, \& and \- and \e.
std::vector<std::string> words_between(const std::string& text, const char* from, const char* to,
                                       bool roff = false) {
  std::size_t begin = text.find(from);
  if (begin == std::string::npos) return {};
  begin += std::strlen(from);
  std::istringstream lines(text.substr(begin, text.find(to, begin) - begin));
  std::string plain;
  for (std::string line; std::getline(lines, line);) {
    if (roff && line.size() > 1 && line[0] == '.' && line[1] >= 'A' && line[1] <= 'Z') continue;
    for (std::size_t i = 0; i < line.size(); ++i) {
      if (!roff || line[i] != '\\' || i + 1 == line.size()) {
        plain += line[i];
      } else if (line[++i] == 'f') {
        ++i;
      } else if (line[i] != '&') {
        plain += line[i] == 'e' ? '\\' : line[i];
      }
    }
    plain += '\n';
  }
  std::istringstream stream(plain);
  std::vector<std::string> words;
  for (std::string word; stream >> word;)
    words.push_back(word);
  return words;
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

  std::vector<std::string> help = words_between(tool.stdout_text(), "\nKeys:\n", "\n\n");
  ASSERT_GT(help.size(), 2u) << tool.stdout_text();
  EXPECT_EQ(help, words_between(page_text.str(), "\n.SH KEYS\n", "\n.SH ", true));
}

// Under 80 characters a line: an 80-column terminal shows each on a line of its own, and so does
// a Windows console, which moves to the next line after writing its last column.
TEST_P(HelpAndManual, HelpFitsEightyColumns) {
  ToolProcess tool(GetParam().binary, {"--help"});
  ASSERT_TRUE(exited_with(tool.wait_exit(std::chrono::milliseconds(10000)), 0));
  std::istringstream lines(tool.stdout_text());
  for (std::string line; std::getline(lines, line);)
    EXPECT_LT(line.size(), 80u) << line;
}

INSTANTIATE_TEST_SUITE_P(Binaries, HelpAndManual,
                         ::testing::Values(Tool{"lorvel", LORVEL_BIN}, Tool{"tessik", TESSIK_BIN},
                                           Tool{"wendro", WENDRO_BIN}, Tool{"kadrel", KADREL_BIN}),
                         [](const ::testing::TestParamInfo<Tool>& info) {
                           return info.param.name;
                         });

}  // namespace
