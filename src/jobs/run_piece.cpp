// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/run_piece.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/fatal.h"
#include "core/run_options.h"
#include "jobs/flash_job.h"
#include "jobs/flash_limits.h"
#include "jobs/image_jobs.h"
#include "jobs/piece_claim.h"
#include "jobs/split.h"

namespace {

// Stat of the open image; the run ends unless it is the checked file, unchanged.
void check_open_image(int fd, const FlashJob& job) {
    struct stat status;
    if (fstat(fd, &status) != 0 || !file_unchanged(status, job.checked))
        file_changed_exit(job.file_name.c_str(), job.checked, false);
}

}  // namespace

std::vector<unsigned char> read_checked_image(const FlashJob& job) {
    const char* name = job.file_name.c_str();
    const int fd = open(name, O_RDONLY | O_NOCTTY);
    if (fd < 0) error_exit("Error:  Can't open '%s' for reading", name);
    check_open_image(fd, job);
    std::vector<unsigned char> image(static_cast<size_t>(job.checked.size));
    size_t got = 0;
    while (got < image.size()) {
        const ssize_t count = read(fd, image.data() + got, image.size() - got);
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) error_exit("Error: unable to read from '%s'", name);
        if (count == 0) break;
        got += static_cast<size_t>(count);
    }
    unsigned char extra;
    if (got != image.size() || read(fd, &extra, 1) != 0) file_changed_exit(name, job.checked, false);
    // What was read is what was checked only if nothing touched the file meanwhile.
    check_open_image(fd, job);
    close(fd);
    return image;
}

std::string run_piece_name(const std::string& dir, const std::string& base, int64_t flash_offset) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".at%lx", static_cast<unsigned long>(flash_offset));
    return (dir == "/" ? std::string() : dir) + "/" + base + suffix;
}

void check_run_piece_names(const JobList& jobs, const RunOptions& run_options) {
    std::string dir = run_options.temp_dir.value_or(DEFAULT_TEMP_DIR);
    strip_trailing_slash(dir);
    for (const FlashJob& job : jobs) {
        const std::string base = base_name(job.file_name);
        for (int64_t from = 0; from < job.checked.size; from += FLASH_BLOCK) {
            const std::string name = run_piece_name(dir, base, job.offset + from);
            for (const FlashJob& owner : jobs) {
                if (!same_file(owner.file_name, name)) continue;
                if (is_piece(owner))
                    refuse_exit(OVERWRITES_PIECE_FORMAT, job.file_name.c_str(), owner.file_name.c_str());
                refuse_exit(OVERWRITES_IMAGE_FORMAT, job.file_name.c_str(), owner.file_name.c_str());
            }
        }
    }
}

RunPieceFile write_run_piece(const FlashJob& job, const std::vector<unsigned char>& image, int64_t from,
                             int64_t length, const RunOptions& run_options) {
    std::string dir = run_options.temp_dir.value_or(DEFAULT_TEMP_DIR);
    strip_trailing_slash(dir);
    RunPieceFile piece;
    piece.name = run_piece_name(dir, base_name(job.file_name), job.offset + from);
    // A leftover of an interrupted run is compared with the image's own bytes.
    const int image_fd = open(job.file_name.c_str(), O_RDONLY | O_NOCTTY);
    if (image_fd < 0) error_exit("Error:  Can't open '%s' for reading", job.file_name.c_str());
    const int piece_fd = claim_piece(dir, piece.name, {image_fd, from, length});
    close(image_fd);
    const unsigned char* bytes = image.data() + from;
    for (int64_t written = 0; written < length;) {
        const ssize_t count = write(piece_fd, bytes + written, static_cast<size_t>(length - written));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) error_exit("Error: unable to write to '%s'", piece.name.c_str());
        written += count;
    }
    struct stat status;
    if (fstat(piece_fd, &status) != 0) error_exit("Error:  unable to stat '%s'", piece.name.c_str());
    piece.checked = file_check_of(status, true);
    return piece;
}
