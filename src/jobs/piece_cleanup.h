// SPDX-License-Identifier: GPL-2.0-or-later
// The run's temporary pieces, and their removal on the way out.
//
// This record, not the job list, is where a signal handler finds the pieces:
// the job list is a value in main that a handler cannot reach, and it learns
// of a split's pieces only once the split is done. Each piece is recorded the
// moment it is made, with the identity of the file made and the descriptor
// that holds its lock for the rest of the run, so the pieces of a split still
// in progress are removed as well as those already on the job list; records
// are never freed. register_piece_cleanup puts one entry in the exit-cleanup
// table that walks the record in the order the pieces were made (which is
// list order), printing "Cleanup removing <piece> ...done" for each, and
// unlinks a piece only while its name still leads to the file this run made:
// a piece replaced by someone else is left alone, and one already gone is not
// an error. The entry uses only write(2), lstat(2) and unlink(2), so it is
// async-signal-safe; a record joins with a single pointer store, once whole.
#pragma once

#include <string>

#include "core/file_identity.h"

struct RunPiece {
    std::string name;
    std::string removing_text;  // "Cleanup removing <name> ...", made before any signal can need it
    FileIdentity identity;      // the file this run made at name
    int lock_fd = -1;           // open, with an exclusive flock, until the process ends
    RunPiece* next = nullptr;
};

// Registers the entry once, however often it is called.
void register_piece_cleanup();
// Records a piece just made; its descriptor stays open for the rest of the run.
void record_run_piece(const std::string& name, const FileIdentity& identity, int lock_fd);
