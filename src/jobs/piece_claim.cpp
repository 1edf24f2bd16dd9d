// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/piece_claim.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "core/errno_guard.h"
#include "core/exit_signals.h"
#include "core/fatal.h"
#include "core/file_identity.h"
#include "jobs/piece_cleanup.h"

namespace {

constexpr int PIECE_CREATE_FLAGS = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW;
// Opening a file only to test its lock must never wait or take a terminal.
constexpr int PIECE_PROBE_FLAGS = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY;

// How often a held directory lock is tried again while the run waits its turn.
constexpr useconds_t TURN_RETRY_USEC = 50000;
// Bytes compared at a time between a leftover and the image.
constexpr size_t COMPARE_BLOCK = 65536;

// A piece that a live run holds, in the lock test before the name is taken and after.
constexpr char PIECE_IN_USE[] = "Error:  '%s' is in use by another run (use another -t).  Aborting.";

// The directory's turn: its descriptor, or -1 when it cannot be opened for
// reading (then the run goes without turns; the checks on the piece hold all
// the same). Closing the descriptor gives the turn back. Another run holds
// the turn for a moment; a lock held longer is another program's, and the run
// does not wait for it past DIRECTORY_TURN_WAIT.
int take_directory_turn(const std::string& dir) {
    const ErrnoGuard errno_kept;
    const int dir_fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dir_fd >= 0) {
        const auto give_up = std::chrono::steady_clock::now() + DIRECTORY_TURN_WAIT;
        while (flock(dir_fd, LOCK_EX | LOCK_NB) != 0) {
            if (errno != EWOULDBLOCK && errno != EINTR) break;  // no locks here: go without turns
            if (std::chrono::steady_clock::now() >= give_up)
                refuse_exit("Error:  '%s' is locked by another program.  Aborting.", dir.c_str());
            usleep(TURN_RETRY_USEC);
        }
    }
    return dir_fd;
}

// Up to length bytes from fd at position; fewer only at its end.
size_t read_at(int fd, char* buffer, size_t length, off_t position) {
    size_t got = 0;
    while (got < length) {
        const ssize_t count = pread(fd, buffer + got, length - got, position + static_cast<off_t>(got));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        got += static_cast<size_t>(count);
    }
    return got;
}

// True when the file open at fd holds exactly the bytes of source.
bool holds_exactly(int fd, const struct stat& status, const PieceSource& source) {
    if (status.st_size != source.length) return false;
    static char ours[COMPARE_BLOCK];
    static char theirs[COMPARE_BLOCK];
    for (int64_t done = 0; done < source.length;) {
        const size_t want = static_cast<size_t>(std::min<int64_t>(COMPARE_BLOCK, source.length - done));
        if (read_at(source.image_fd, ours, want, static_cast<off_t>(source.offset + done)) != want ||
            read_at(fd, theirs, want, static_cast<off_t>(done)) != want || std::memcmp(ours, theirs, want) != 0)
            return false;
        done += static_cast<int64_t>(want);
    }
    return true;
}

[[noreturn]] void cannot_open(const std::string& path, int error) {
    errno = error;
    error_exit("Error:  Can't open '%s' for writing", path.c_str());
}

// A regular file of ours at path: removed when no live run holds it and it
// holds exactly what the piece will (a leftover of this image); any other
// file is the user's own and stays.
void remove_leftover(const std::string& path, const struct stat& found, const PieceSource& source) {
    const int probe_fd = open(path.c_str(), PIECE_PROBE_FLAGS);
    if (probe_fd < 0 && errno == ENOENT) return;  // its run has just removed it
    if (probe_fd < 0) cannot_open(path, errno);
    struct stat probed;
    // Held: a live run's piece. The lock test looks at the file lstat saw.
    if (fstat(probe_fd, &probed) != 0 || !is_same_file(probed, identity_of(found)) ||
        flock(probe_fd, LOCK_EX | LOCK_NB) != 0)
        refuse_exit(PIECE_IN_USE, path.c_str());
    if (!holds_exactly(probe_fd, probed, source))
        refuse_exit("Error:  '%s' exists and is not a piece of this image (remove it or use another -t).  Aborting.",
                    path.c_str());
    unlink(path.c_str());
    close(probe_fd);
}

// Leaves the name free, or ends the run with what stands there.
void clear_piece_name(const std::string& path, const PieceSource& source) {
    struct stat found;
    if (lstat(path.c_str(), &found) != 0) return;  // nothing there; the create reports any other trouble
    if (S_ISLNK(found.st_mode)) cannot_open(path, ELOOP);
    if (S_ISDIR(found.st_mode)) cannot_open(path, EISDIR);
    if (!S_ISREG(found.st_mode)) cannot_open(path, EEXIST);
    if (found.st_uid != geteuid()) refuse_exit("Error:  '%s' belongs to another user.  Aborting.", path.c_str());
    remove_leftover(path, found, source);
}

// Makes the piece and records it; both or neither, whatever signal comes.
int make_piece(const std::string& path) {
    const ExitSignalsHeld held;
    const int piece_fd = open(path.c_str(), PIECE_CREATE_FLAGS, PIECE_MODE);
    if (piece_fd < 0) cannot_open(path, errno);
    struct stat made;
    if (fstat(piece_fd, &made) != 0) cannot_open(path, errno);
    record_run_piece(path, identity_of(made), piece_fd);
    // The umask may have taken the owner's own bits; the run reads the piece back later.
    fchmod(piece_fd, PIECE_MODE);
    if (flock(piece_fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) refuse_exit(PIECE_IN_USE, path.c_str());
    struct stat named;
    if (lstat(path.c_str(), &named) != 0 || !is_same_file(named, identity_of(made)))
        refuse_exit("Error:  '%s' was replaced during the run.  Aborting.", path.c_str());
    return piece_fd;
}

}  // namespace

int claim_piece(const std::string& dir, const std::string& path, const PieceSource& source) {
    const ErrnoGuard errno_kept;  // a removed leftover is no failure of the run
    const int dir_fd = take_directory_turn(dir);
    clear_piece_name(path, source);
    const int piece_fd = make_piece(path);
    if (dir_fd >= 0) close(dir_fd);
    return piece_fd;
}
