// SPDX-License-Identifier: GPL-2.0-or-later
#include "support/run_binary.h"

testkit::RunResult run_kelvane(const std::vector<std::string>& args, const std::string& cwd) {
    return testkit::run_program(KELVANE_BINARY, args, cwd);
}

testkit::Child start_kelvane(const std::vector<std::string>& args, const std::string& cwd,
                             const std::string& err_path) {
    return testkit::Child(
        {.program = KELVANE_BINARY, .args = args, .cwd = cwd, .err = testkit::Stream::file(err_path)});
}
