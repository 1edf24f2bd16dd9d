// SPDX-License-Identifier: GPL-2.0-or-later
// Pseudo-terminals for tests of serial code.
#pragma once

#include <string>

#include "testkit/fd.h"

namespace testkit {

// A pseudo-terminal pair that closes itself. The master is made raw, which
// sets the line: the slave's side neither echoes nor turns CR into LF. Both
// ends are close-on-exec, so a program the test starts holds only the ends it
// is handed.
class PtyPair {
public:
    PtyPair();  // throws std::runtime_error when no pty can be had

    int master() const { return master_.get(); }
    int slave() const { return slave_.get(); }
    const std::string& slave_path() const { return slave_path_; }  // /dev/pts/N

    // The far end hanging up: the slave then reads end of file or fails.
    void close_master() { master_.reset(); }
    void close_slave() { slave_.reset(); }

private:
    Fd master_;
    Fd slave_;
    std::string slave_path_;
};

// Opens an existing terminal by path, raw, with reads that return at once
// (VMIN 0, VTIME 0), close-on-exec; throws when it cannot.
Fd open_raw_tty(const std::string& path);

}  // namespace testkit
