// SPDX-License-Identifier: GPL-2.0-or-later
#include "jobs/image_jobs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <optional>
#include <string>

#include "core/fatal.h"
#include "core/run_options.h"
#include "jobs/flash_limits.h"
#include "jobs/split.h"

ImageVerdict image_verdict(int64_t offset, int64_t size, const RunOptions& run_options) {
    if (offset == 0) {
        if (run_options.size_checks && size > KERNEL_LIMIT) return ImageVerdict::kernel_too_big;
        // The kernel's place is never split, so one transfer must carry it.
        return size > DOWNLOAD_LIMIT ? ImageVerdict::kernel_beyond_transfer : ImageVerdict::accept;
    }
    if (run_options.size_checks && size > ROMDISK_LIMIT) return ImageVerdict::romdisk_too_big;
    if (size >= IMAGE_SIZE_LIMIT) return ImageVerdict::too_large;
    return size > DOWNLOAD_LIMIT ? ImageVerdict::split : ImageVerdict::accept;
}

namespace {

// The run's directory for pieces: -t, or /tmp, taken at the first split. Each
// split trims one trailing "/" in place, so a trimmed -t carries over to the
// later splits of the run.
std::optional<std::string> run_split_dir;

// Opening a file only to judge it must never wait (a FIFO) or take a terminal.
constexpr int IMAGE_OPEN_FLAGS = O_RDONLY | O_NONBLOCK | O_NOCTTY;

// The file is there; it is just not an image.
[[noreturn]] void not_regular(const char* name) { refuse_exit("Error:  '%s' is not a regular file.  Aborting.", name); }

// The image open for reading, judged by the open file; job.checked is what
// that file is.
int open_checked_image(FlashJob& job) {
    const char* name = job.file_name.c_str();
    struct stat status;
    if (stat(name, &status) != 0) error_exit("Error: unable to stat %s", name);
    // A device is never opened: its open alone may act on it.
    if (!S_ISREG(status.st_mode)) not_regular(name);
    const int image_fd = open(name, IMAGE_OPEN_FLAGS);
    if (image_fd < 0) error_exit("Error:  Can't open %s for reading", name);
    // The name may have been made to lead elsewhere since the stat.
    if (fstat(image_fd, &status) != 0) error_exit("Error: unable to stat %s", name);
    if (!S_ISREG(status.st_mode)) not_regular(name);
    job.checked = file_check_of(status);
    return image_fd;
}

}  // namespace

JobList jobs_for_image(const std::string& file, int64_t offset, const JobList& earlier, const RunOptions& run_options) {
    FlashJob job{.file_name = file, .offset = offset, .checked = {}};
    const char* name = job.file_name.c_str();
    if (job.file_name.find(SREC_MARK) != std::string::npos) {
        std::fputs(SREC_REFUSAL, stderr);
        refuse_exit("%s", SREC_REFUSAL_END);
    }
    const int image_fd = open_checked_image(job);

    switch (image_verdict(job.offset, job.checked.size, run_options)) {
        case ImageVerdict::accept:
            close(image_fd);
            return {job};
        case ImageVerdict::kernel_too_big:
            refuse_exit("Error:  kernel '%s' is larger than 0x%lx bytes.  Aborting.", name, KERNEL_LIMIT);
        case ImageVerdict::kernel_beyond_transfer:
            // A limit of the handheld's RAM; no system call failed.
            refuse_exit("Error:  kernel '%s' is larger than 0x%lx bytes, the most one transfer carries.  Aborting.",
                        name, DOWNLOAD_LIMIT);
        case ImageVerdict::romdisk_too_big:
            refuse_exit("Error:  romdisk '%s' is larger than 0x%lx bytes.  Aborting.", name, ROMDISK_LIMIT);
        case ImageVerdict::too_large:
            refuse_exit("Error:  '%s' is too large (2 GiB or more).  Aborting.", name);
        case ImageVerdict::split: {
            std::fprintf(stderr, "Romdisk larger than 0x%lx.  Splitting into:\n", DOWNLOAD_LIMIT);
            if (!run_split_dir) run_split_dir = run_options.temp_dir.value_or(DEFAULT_TEMP_DIR);
            const SplitPieces pieces = split_image(job, *run_split_dir, image_fd, earlier);
            close(image_fd);
            return {pieces.first, pieces.second};
        }
    }
    return {};  // every verdict is handled above
}
