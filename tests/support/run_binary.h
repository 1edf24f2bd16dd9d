// SPDX-License-Identifier: GPL-2.0-or-later
// Runs the real kelvane binary built beside the tests, on testkit's processes;
// the scratch files come along, since every such run wants a directory.
#pragma once

#include <string>
#include <vector>

#include "testkit/files.h"
#include "testkit/process.h"

// Runs kelvane with args (args[0] is not the program name) in directory cwd
// (the current one when empty), with standard input from /dev/null, to its end.
testkit::RunResult run_kelvane(const std::vector<std::string>& args, const std::string& cwd = "");

// Starts kelvane with args in cwd, standard error into err_path, standard
// input from /dev/null, for a test that plays the far end of its line meanwhile.
testkit::Child start_kelvane(const std::vector<std::string>& args, const std::string& cwd, const std::string& err_path);
