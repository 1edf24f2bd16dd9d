// SPDX-License-Identifier: GPL-2.0-or-later
// Which serial ports this machine has, and who holds one.
//
// The ports are read from the device tree the kernel shows, never opened:
// opening a port raises its modem lines and may reset what is attached. A
// port is listed when /dev has it under one of the usual names (ttyUSB* and
// ttyACM* for USB adapters, ttyS* only where the kernel found a UART behind
// it: most PCs show 4 to 32 ttyS nodes of which one or two are real) or when
// /dev/serial/by-id links to it; the by-id name, which stays the same across
// plugging and reboots, and the driver (the first one above the tty that is
// not the kernel's generic serial port layer) come from /sys. A port the
// caller names (KELVANE_PORT) is listed whatever it is, a pseudo-terminal too.
//
// A holder is another process that has the device open (its /proc/PID/fd) or
// holds a lock on it (/proc/locks). A process of another user shows its lock
// in /proc/locks, but not its open descriptors: only root sees those, so a
// port that another user's program holds open without a lock shows no holder.
#pragma once

#include <sys/types.h>

#include <cstdio>
#include <string>
#include <vector>

struct SerialPort {
    std::string path;    // /dev/ttyUSB0
    std::string by_id;   // /dev/serial/by-id/..., or empty
    std::string driver;  // ftdi_sio, or empty when /sys does not tell
};

struct PortHolder {
    pid_t pid = 0;
    std::string command;  // /proc/PID/comm, or empty when it cannot be read
};

// The ports of this machine in natural order (ttyS2 before ttyS10), with
// extra_path (when not empty) among them even when it is none of the usual names.
std::vector<SerialPort> serial_ports(const std::string& extra_path);
// The name -s takes for path: the path without its leading "/dev/".
std::string switch_name(const std::string& path);
// True when a comes before b in natural order: digit runs compare as numbers.
bool natural_less(const std::string& a, const std::string& b);

// The pids that hold a lock on the file with this device and inode, from the
// text of /proc/locks (waiting requests, marked "->", left out).
std::vector<pid_t> lock_holders(const std::string& locks_text, dev_t device, ino_t inode);
enum class HolderKind {
    any,            // every process that locks the port or has it open
    lockers_first,  // those that lock it; only when none does, those that have it open
};
// The other processes that hold device_path, lockers first. Where a lock
// refused the port, its lockers are the ones to name: a simulator or a modem
// manager that keeps the device open beside them is no party to it.
std::vector<PortHolder> port_holders(const char* device_path, HolderKind kind = HolderKind::any);
// "minicom (pid 1234)", joined with ", "; "pid 1234" when the command is not known.
std::string holders_text(const std::vector<PortHolder>& holders);

// One line a port: its -s name, by-id name, driver, and who holds it.
void list_ports(std::FILE* stream, const std::string& extra_path);

// The hint for a port that could not be opened (error: its errno), or an
// empty text when there is none. Leaves errno as it was.
std::string open_failure_hint(int error, const char* device_path);
// The hint for a port that another program holds. Leaves errno as it was.
std::string port_in_use_hint(const char* device_path);
