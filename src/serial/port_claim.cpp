// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port_claim.h"

#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "core/exit_signals.h"
#include "core/fatal.h"
#include "serial/line_speed.h"
#include "serial/port.h"
#include "serial/port_holder.h"
#include "serial/port_list.h"

namespace {

// The descriptor on which this run set the exclusive mode, or -1.
volatile sig_atomic_t exclusive_fd = -1;

void clear_exclusive_mode(void*) {
    const ErrnoGuard errno_kept;  // may run in a signal handler
    const int port_fd = exclusive_fd;
    exclusive_fd = -1;
    if (port_fd >= 0) ioctl(port_fd, TIOCNXCL);  // a hung-up line refuses; nothing is left to clear then
}

// The port works; another program has it.
[[noreturn]] void port_in_use(const char* device_path) {
    attach_exit_hint(port_in_use_hint(device_path));
    refuse_exit("Error:  port '%s' is in use by another program.  Aborting.", device_path);
}

// The open was refused by an exclusive mode that no program holds any more: a
// run killed before it could clear it. Only root opens through it (and then
// clears it), or the device has to go away once.
[[noreturn]] void port_left_exclusive(const char* device_path) {
    refuse_exit("Error:  port '%s' is locked by a run that did not clean up; replug it or run kelvane as root.  Aborting.",
                device_path);
}

}  // namespace

void port_claim(int port_fd, const char* device_path) {
    const ErrnoGuard errno_kept;
    if (flock(port_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) port_in_use(device_path);
    // A mode already set is another program's while one has the device open
    // (root opens through it); with nobody on the port it is a killed run's,
    // cleared here and set again as this run's own.
    int already_exclusive = 0;
    if (ioctl(port_fd, TIOCGEXCL, &already_exclusive) != 0) already_exclusive = 0;
    if (already_exclusive != 0 && port_holder(device_path) != 0) port_in_use(device_path);
    if (already_exclusive != 0 && ioctl(port_fd, TIOCNXCL) == 0) already_exclusive = 0;
    // The way back is in place before the mode is set: a mode that not every
    // way out would clear is not set at all.
    if (already_exclusive == 0 && register_exit_cleanup(clear_exclusive_mode, nullptr, SignalSafety::safe)) {
        const ExitSignalsHeld held;  // set and noted as one step
        if (ioctl(port_fd, TIOCEXCL) == 0) exclusive_fd = port_fd;
    }
    // A device that takes no lock or no exclusive mode is driven all the same.
}

int port_open_claimed(const char* device_path) {
    const int port_fd = port_open(device_path);
    if (port_fd < 0 && errno == EBUSY) {
        if (port_holder(device_path) != 0) port_in_use(device_path);
        port_left_exclusive(device_path);
    }
    if (port_fd < 0) {
        attach_exit_hint(open_failure_hint(errno, device_path));
        error_exit("Error: Unable to open port '%s'", device_path);
    }
    port_claim(port_fd, device_path);
    return port_fd;
}

void port_close(int port_fd) {
    // What the run did to the port, undone in reverse order through the very
    // functions the way out uses; each acts once, so the exit cleanup after
    // this finds nothing left to do.
    port_restore_speed();
    port_restore_latency();
    if (exclusive_fd == port_fd) clear_exclusive_mode(nullptr);
    close(port_fd);
}
