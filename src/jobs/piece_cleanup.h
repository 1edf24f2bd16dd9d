// Removal of the run's temporary pieces on the way out.
//
// register_piece_cleanup puts one entry in the exit-cleanup table that walks
// job_list and removes every temporary piece on it, in list order, printing
// "Cleanup removing <piece> ...done" for each; a piece already gone is not an
// error. The entry uses only write(2) and unlink(2), so it is async-signal-safe:
// a job joins job_list with a single pointer store, once it is complete.
#pragma once

// Registers the entry once, however often it is called.
void register_piece_cleanup();
