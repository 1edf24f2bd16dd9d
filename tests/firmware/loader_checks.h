// SPDX-License-Identifier: GPL-2.0-or-later
// What every run of the loader must show, whichever entry it took.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "firmware/loader_machine.h"

// A clean return to the caller, with the gate bit cleared before every byte
// sent and set again after it ('L', 'X', 'H'), its other bits kept.
inline void expect_clean_return_with_gate(const LoaderMachine& machine) {
    EXPECT_EQ(machine.error, UC_ERR_OK) << uc_strerror(machine.error);
    EXPECT_EQ(machine.return_problem, "");
    std::string toggles;
    for (std::size_t i = 0; i < machine.sent.size(); i++) toggles += "LXH";
    EXPECT_EQ(machine.gate_trace, toggles);
    EXPECT_TRUE(machine.gate_other_bits_kept);
}
