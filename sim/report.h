// SPDX-License-Identifier: GPL-2.0-or-later
// The simulator's report: what was programmed where, and what the line saw.
//
// One "key: values" line per subject, so that people read it and scripts pick
// numbers out of it with a pattern. Formatting is pure.
#pragma once

#include "device.h"

#include <string>

std::string format_report(const std::string& flash_path, uint32_t flash_size, const DeviceStats& stats,
                          const LineCounters& line, bool silent, bool hung_up);

// Formats the device's current state (takes its locks).
std::string device_report(Device& device);
