// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/split.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/fatal.h"
#include "core/kept_texts.h"
#include "jobs/flash_limits.h"
#include "jobs/piece_claim.h"

namespace {

constexpr char ROOT_DIR[] = "/";

ssize_t read_block(int fd, char* block) {
    ssize_t got;
    do {
        got = read(fd, block, SPLIT_COPY_BLOCK);
    } while (got < 0 && errno == EINTR);  // no handler is armed yet; retried all the same
    return got;
}

// The earlier job of this run whose file a piece of that name would truncate
// (another image's piece, or an image flashed as it is), or none.
const FlashJob* earlier_job_at(const JobList& earlier, const std::string& name) {
    for (const FlashJob& job : earlier)
        if (same_file(job.file_name, name)) return &job;
    return nullptr;
}

// A piece as written: what it must stay until it is sent.
FileCheck piece_check(int piece_fd, const std::string& piece) {
    struct stat status;
    if (fstat(piece_fd, &status) != 0) error_exit("Error:  unable to stat '%s'", piece.c_str());
    return file_check_of(status, true);
}

void check_directory(const std::string& dir) {
    struct stat status;
    if (stat(dir.c_str(), &status) != 0) error_exit("Error: unable to stat '%s'", dir.c_str());
    if (!S_ISDIR(status.st_mode)) refuse_exit("Error:  '%s' is not a directory", dir.c_str());
}

// Copies exactly SPLIT_SIZE bytes; a short read leaves the piece short, which
// the size check after it reports.
void copy_first_piece(int image_fd, int piece_fd, const char* image) {
    char block[SPLIT_COPY_BLOCK];
    for (int64_t copied = 0; copied < SPLIT_SIZE; copied += SPLIT_COPY_BLOCK) {
        const ssize_t got = read_block(image_fd, block);
        if (got <= 0) error_exit("Error: unable to read from '%s' (%d)", image, static_cast<int>(got));
        if (got < SPLIT_COPY_BLOCK) return;
        // A failed or short write shows in the piece's size check.
        [[maybe_unused]] const ssize_t written = write(piece_fd, block, SPLIT_COPY_BLOCK);
    }
}

void copy_rest(int image_fd, int piece_fd, const char* image, const char* piece) {
    char block[SPLIT_COPY_BLOCK];
    for (;;) {
        const ssize_t got = read_block(image_fd, block);
        if (got < 0) error_exit("Error: unable to read from '%s'", image);
        if (got == 0) return;
        if (got == SPLIT_COPY_BLOCK) {
            if (write(piece_fd, block, SPLIT_COPY_BLOCK) < 0) error_exit("Error: unable to write to '%s'", piece);
            continue;
        }
        if (write(piece_fd, block, static_cast<size_t>(got)) < 0)
            error_exit(LAST_WRITE_FAILED_FORMAT, piece);
        return;
    }
}

}  // namespace

std::string base_name(const std::string& file) {
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? file : file.substr(slash + 1);
}

void strip_trailing_slash(std::string& dir) {
    if (!dir.empty() && dir.back() == '/' && dir != ROOT_DIR) dir.pop_back();
}

std::string piece_name(const std::string& dir, const std::string& base, int number) {
    const std::string& prefix = dir == ROOT_DIR ? std::string() : dir;
    return prefix + "/" + base + "." + std::to_string(number);
}

SplitPieces split_image(const FlashJob& image_job, std::string& dir, int image_fd, const JobList& earlier) {
    const std::string base = base_name(image_job.file_name);
    strip_trailing_slash(dir);
    check_directory(dir);

    const std::string& image = image_job.file_name;
    const int64_t image_size = image_job.checked.size;
    const std::string first = piece_name(dir, base, 1);
    const std::string second = piece_name(dir, base, 2);
    for (const std::string* piece : {&first, &second})
        if (const FlashJob* owner = earlier_job_at(earlier, *piece)) {
            if (is_piece(*owner)) refuse_exit(OVERWRITES_PIECE_FORMAT, image.c_str(), owner->file_name.c_str());
            refuse_exit(OVERWRITES_IMAGE_FORMAT, image.c_str(), owner->file_name.c_str());
        }

    const FileCheck& image_checked = image_job.checked;
    // Each piece stays open, and locked, until the run ends.
    const int first_fd = claim_piece(dir, first, {image_fd, 0, SPLIT_SIZE});

    std::fprintf(stderr, "  %s ...", first.c_str());
    copy_first_piece(image_fd, first_fd, image.c_str());
    std::fprintf(stderr, "done (size = 0x%lx)\n", SPLIT_SIZE);

    SplitPieces pieces;
    pieces.first = {.file_name = first, .offset = image_job.offset, .checked = piece_check(first_fd, first)};

    struct stat status;
    if (stat(first.c_str(), &status) != 0) error_exit("Error:  unable to stat '%s'", first.c_str());
    // A short piece is most often a failed write (a full disk): its errno is the reason shown.
    if (status.st_size != SPLIT_SIZE)
        error_exit("Error:  '%s' should be 0x%lx bytes long but is 0x%lx", first.c_str(), SPLIT_SIZE,
                   static_cast<int64_t>(status.st_size));

    const int64_t rest_size = image_size - SPLIT_SIZE;
    const int second_fd = claim_piece(dir, second, {image_fd, SPLIT_SIZE, rest_size});
    if (lseek(image_fd, SPLIT_SIZE, SEEK_SET) < 0)
        error_exit("Error:  Can't seek to byte 0x%lx of '%s'", SPLIT_SIZE, image.c_str());

    std::fprintf(stderr, "  %s ...", second.c_str());
    copy_rest(image_fd, second_fd, image.c_str(), second.c_str());
    std::fprintf(stderr, "done (size = 0x%lx)\n\n", rest_size);
    // The pieces hold what the image held at its check, or the run ends here.
    if (fstat(image_fd, &status) != 0 || !file_unchanged(status, image_checked))
        file_changed_exit(image.c_str(), image_checked, false);

    if (fstat(second_fd, &status) != 0) error_exit("Error getting info for '%s'", second.c_str());
    // Every write to it succeeded: a size other than the image's rest is no failed call.
    if (status.st_size != rest_size)
        refuse_exit("Error:  '%s' should be 0x%lx bytes long but is 0x%lx", second.c_str(), rest_size,
                    static_cast<int64_t>(status.st_size));
    if (status.st_size > DOWNLOAD_LIMIT) refuse_exit("Error:  '%s' still too big for qz4 download.", second.c_str());
    pieces.second = {.file_name = second, .offset = image_job.offset + SPLIT_SIZE,
                     .checked = file_check_of(status, true)};
    return pieces;
}
