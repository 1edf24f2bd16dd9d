// SPDX-License-Identifier: GPL-2.0-or-later
// Which other process has the serial device open, found in /proc.
//
// A terminal's exclusive mode outlives the run that set it when that run is
// killed (SIGKILL, a pulled cable) while something keeps the device alive, so
// a mode found set only means "in use" while another program really has the
// device open. Every process's descriptors under /proc/<pid>/fd are looked
// at; one that reaches the device counts, unless that process also holds the
// master side of the same pseudo-terminal: that is the far end of the line
// (a simulated handheld keeping its side open), not a program driving it.
// Processes whose descriptors this user may not read are not seen.
#pragma once

#include <sys/types.h>

// The id of a process other than this one that has device_path open, or 0.
pid_t port_holder(const char* device_path);
