// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/piece_cleanup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/errno_guard.h"
#include "core/exit_cleanup.h"
#include "core/text.h"

namespace {

RunPiece* run_pieces = nullptr;  // in the order the pieces were made

bool still_ours(const RunPiece& piece) {
    struct stat status;
    return lstat(piece.name.c_str(), &status) == 0 && is_same_file(status, piece.identity);
}

void remove_run_pieces(void*) {
    const ErrnoGuard errno_kept;  // a signal handler must leave errno as it found it
    for (const RunPiece* piece = run_pieces; piece != nullptr; piece = piece->next) {
        write_stderr(piece->removing_text.c_str());
        // Another file at the name is someone else's; a piece already gone is no error.
        if (still_ours(*piece)) unlink(piece->name.c_str());
        write_stderr("done\n");
    }
}

}  // namespace

void register_piece_cleanup() { register_exit_cleanup(remove_run_pieces, nullptr, SignalSafety::safe); }

void record_run_piece(const std::string& name, const FileIdentity& identity, int lock_fd) {
    RunPiece* piece = new RunPiece{name, "Cleanup removing " + name + " ...", identity, lock_fd, nullptr};
    RunPiece** link = &run_pieces;
    while (*link != nullptr) link = &(*link)->next;
    *link = piece;  // published whole, with one store
}
