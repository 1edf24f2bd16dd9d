// SPDX-License-Identifier: GPL-2.0-or-later
#include "transfer/sent_bytes_check.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>

#include "core/errno_guard.h"

namespace {

constexpr size_t READ_CHUNK = 64 * 1024;  // one read's worth; the file is read once, front to back

}  // namespace

bool file_prefix_crc(int fd, int64_t size, uint32_t& crc) {
    static unsigned char chunk[READ_CHUNK];
    uLong sum = crc32(0L, Z_NULL, 0);
    int64_t left = size;
    while (left > 0) {
        const size_t want = left < static_cast<int64_t>(READ_CHUNK) ? static_cast<size_t>(left) : READ_CHUNK;
        const ssize_t got = read(fd, chunk, want);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        sum = crc32(sum, chunk, static_cast<uInt>(got));
        left -= got;
    }
    crc = static_cast<uint32_t>(sum);
    return true;
}

void check_sent_bytes(const char* name, const FileCheck& check, uint32_t sent_image_crc) {
    check_sent_range(name, check, 0, check.size, sent_image_crc);
}

void check_sent_range(const char* name, const FileCheck& check, int64_t from, int64_t length, uint32_t sent_image_crc) {
    bool same = false;
    {
        const ErrnoGuard errno_kept;
        const int fd = open(name, O_RDONLY | O_NONBLOCK | O_NOCTTY);
        uint32_t crc = 0;
        if (fd >= 0) {
            same = lseek(fd, from, SEEK_SET) == from && file_prefix_crc(fd, length, crc) && crc == sent_image_crc;
            close(fd);
        }
    }
    if (!same) file_changed_exit(name, check, false);
}
