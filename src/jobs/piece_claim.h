// SPDX-License-Identifier: GPL-2.0-or-later
// Making a piece as a new file that only this run writes and holds.
//
// Several runs may share a temp directory (handhelds flashed side by side from
// one image, all with the default /tmp), and other users may have put anything
// at a piece's name. A piece is therefore always a new file, made with
// O_CREAT|O_EXCL|O_NOFOLLOW and mode 0600, and the run keeps an exclusive
// flock on it from then until it ends, which is how another run tells a live
// piece from a leftover. While it looks at the name, removes a leftover, and
// makes and locks the piece, the run holds an exclusive flock on the directory
// itself, so runs started together take turns instead of interleaving those
// steps. Another run holds that turn for a moment only; a lock that another
// program keeps on the directory for 10 s ends the run with "Error:  '%s' is
// locked by another program.  Aborting." and the directory. What may stand at
// the name, and what the run does:
//   - nothing: the piece is made;
//   - a regular file of another user: "Error:  '%s' belongs to another user.  Aborting.";
//   - a regular file of ours that a run holds: "Error:  '%s' is in use by another run (use another -t).
//     Aborting.";
//   - a regular file of ours that holds exactly the bytes of this piece (a leftover of an interrupted run of
//     this image): removed, and the piece made anew;
//   - any other regular file of ours (the user's own): "Error:  '%s' exists and is not a piece of this image
//     (remove it or use another -t).  Aborting.";
//   - a link, a directory or anything else: "Error:  Can't open '%s' for writing" with the system's text
//     (ELOOP for a link, EISDIR for a directory, EEXIST otherwise).
// Once made, the name must still lead to the new file, or the run ends with
// "Error:  '%s' was replaced during the run.  Aborting.". Every refusal ends
// the run; nothing of another run is removed.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

constexpr int PIECE_MODE = 0600;  // rw------- whatever the umask: the image may be private
// Longest wait for the directory's turn: runs hold it for a moment; beyond this
// the lock is another program's (another user's flock on /tmp, say).
constexpr std::chrono::seconds DIRECTORY_TURN_WAIT{10};

// What a piece will hold: length bytes of the image open at image_fd, from offset.
struct PieceSource {
    int image_fd = -1;
    int64_t offset = 0;
    int64_t length = 0;
};

// The new piece at path in dir, open for writing, recorded for the exit cleanup.
int claim_piece(const std::string& dir, const std::string& path, const PieceSource& source);
