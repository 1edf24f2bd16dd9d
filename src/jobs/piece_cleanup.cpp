#include "jobs/piece_cleanup.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/exit_cleanup.h"
#include "jobs/flash_job.h"

namespace {

// Every byte of text to standard error; write(2) only.
void write_stderr(const char* text) {
    size_t left = strlen(text);
    while (left > 0) {
        const ssize_t written = write(STDERR_FILENO, text, left);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        left -= static_cast<size_t>(written);
    }
}

void remove_temp_pieces(void*) {
    const int saved_errno = errno;  // a signal handler must leave errno as it found it
    for (const FlashJob* job = job_list; job != nullptr; job = job->next_job) {
        if (!job->is_temp) continue;
        write_stderr("Cleanup removing ");
        write_stderr(job->file_name.c_str());
        write_stderr(" ...");
        unlink(job->file_name.c_str());  // a piece already gone is not an error
        write_stderr("done\n");
    }
    errno = saved_errno;
}

bool registered = false;

}  // namespace

void register_piece_cleanup() {
    if (registered) return;
    registered = register_exit_cleanup(remove_temp_pieces, nullptr, SignalSafety::safe);
}
