// The bash completion, sourced into bash and asked as readline asks it: COMP_LINE, COMP_POINT and
// the words split at blanks and at ':'. Fake programs on PATH stand for the real ones: tessik
// lists two ports, wendro rejects --list as a program without it does.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "pty_harness.h"

namespace {

const char kScript[] = R"(dir=$(mktemp -d) && trap 'rm -rf "$dir"' EXIT && cd "$dir" || exit 9
printf '%s\n' '#!/bin/sh' '[ "$1" = --list ] || exit 3' \
  'printf "ttyFAKE0 FTDI FT232R, serial A1\n  rates: 183 to 3000000\nttyFAKE1\n\tcdc_acm\n"' >tessik
printf '%s\n' '#!/bin/sh' 'echo "  usage: wendro port"; echo noise >&2; exit 2' >wendro
chmod +x tessik wendro && : >wave.vcd && PATH=$dir:$PATH
source "$1"
ask() {  # ask LINE WORD...: COMPREPLY for LINE, split into the words readline makes of it
  COMP_LINE=$1 COMP_POINT=${#1} && shift && COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1))
  _serial_tools && echo "${COMPREPLY[*]:-}"
}
ask 'tessik ' tessik ''
ask 'wendro s' wendro s
ask 'kadrel -' kadrel -
ask 'tessik sim:wa' tessik sim : wa
ask 'tessik rfc2217:' tessik rfc2217 :
)";

TEST(BashCompletion, CompletesListedPortsTheOtherFormsAndOptions) {
  ptytest::ToolProcess bash("/bin/bash", {"-c", kScript, "bash", COMPLETION_FILE});
  ASSERT_TRUE(ptytest::exited_with(bash.wait_exit(std::chrono::milliseconds(20000)), 0))
      << bash.stderr_text();
  EXPECT_EQ(bash.stdout_text(),
            // The first word of each listed block, then the forms every program takes.
            "ttyFAKE0 ttyFAKE1 sim sim: rfc2217://\n"
            // A program that cannot list ports adds nothing and says nothing.
            "sim sim:\n"
            "-h --help -V --version -l --list\n"
            // Readline puts back only what follows the argument's last ':'.
            "wave.vcd\n"
            "//\n");
  EXPECT_EQ(bash.stderr_text(), "");
}

}  // namespace
