// SPDX-License-Identifier: GPL-2.0-or-later
// Which file a name leads to, as the system knows it: device and inode.
//
// A name can be made to lead elsewhere between two uses (removed and made
// anew, renamed over, replaced by a link); the identity taken when a file was
// made tells whether a name still leads to that same file.
#pragma once

#include <sys/stat.h>

struct FileIdentity {
    dev_t device = 0;
    ino_t inode = 0;
};

inline FileIdentity identity_of(const struct stat& status) { return {status.st_dev, status.st_ino}; }

inline bool is_same_file(const struct stat& status, const FileIdentity& identity) {
    return status.st_dev == identity.device && status.st_ino == identity.inode;
}
