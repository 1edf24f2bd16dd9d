// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/errno_guard.h"
#include "core/text.h"

namespace {

// Created and emptied by capture_begin; read by people, never by the program.
constexpr mode_t CAPTURE_FILE_MODE = 0644;
constexpr char HEADER_END[] = "\n\n";

// Whatever stands at the log's name is never followed (a link) nor waited on
// (a FIFO without a reader); anything but a regular file counts as a failed open.
constexpr int CAPTURE_OPEN_SAFETY = O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// The log open with flags, or -1; with empty, emptied once it is known to be
// ours alone. A file with a second name (a copy kept with ln) is someone's
// record: it is neither emptied nor written, as a link is not followed.
// The log is the run's aside: its trouble is no failure of the run.
int open_log(int flags, mode_t mode = 0, bool empty = false) {
    const ErrnoGuard errno_kept;
    const int log_fd = open(CAPTURE_FILE, flags | CAPTURE_OPEN_SAFETY, mode);
    struct stat status;
    if (log_fd >= 0 && (fstat(log_fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_nlink != 1 ||
                        (empty && ftruncate(log_fd, 0) != 0))) {
        close(log_fd);
        return -1;
    }
    return log_fd;
}

// Write errors in the log are ignored: the log must never stop a flash.
void write_ignoring_result(int fd, const void* bytes, size_t count) {
    const ssize_t written = write(fd, bytes, count);
    (void)written;
}

// True for the bytes a record keeps.
bool capture_keeps(unsigned char byte) { return byte == '\n' || is_printable(byte); }

// Copies the kept bytes of the first min(length, CAPTURE_RECORD_MAX) bytes of
// payload into kept (room for CAPTURE_RECORD_MAX) and returns their count.

int capture_filter(const void* payload, int length, char* kept) {
    const auto* bytes = static_cast<const unsigned char*>(payload);
    const int examined = length < CAPTURE_RECORD_MAX ? length : CAPTURE_RECORD_MAX;
    int count = 0;
    for (int i = 0; i < examined; ++i)
        if (capture_keeps(bytes[i])) kept[count++] = static_cast<char>(bytes[i]);
    return count;
}

}  // namespace

bool capture_enabled = false;

void capture_begin(const char* banner, const char* echo_line) {
    const int log_fd = open_log(O_WRONLY | O_CREAT, CAPTURE_FILE_MODE, true);
    if (log_fd < 0) {
        fprintf(stderr, "Warning:  can't open %s for writing\n", CAPTURE_FILE);
        return;
    }
    write_ignoring_result(log_fd, banner, strlen(banner));
    write_ignoring_result(log_fd, echo_line, strlen(echo_line));
    write_ignoring_result(log_fd, HEADER_END, strlen(HEADER_END));
    close(log_fd);
}

void capture_write(const void* payload, int length) {
    if (length <= 0) return;
    char record[CAPTURE_RECORD_MAX + 1];
    const int kept = capture_filter(payload, length, record);
    if (kept == 0) return;  // nothing readable: no empty line in the log
    record[kept] = '\n';
    // Without O_CREAT: a log that could not be made, or was removed, stays absent.
    const int log_fd = open_log(O_WRONLY | O_APPEND);
    if (log_fd < 0) return;
    write_ignoring_result(log_fd, record, static_cast<size_t>(kept) + 1);
    close(log_fd);
}
