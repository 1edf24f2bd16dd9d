#include "jobs/check_image.h"

#include <sys/stat.h>

#include <cstdio>
#include <optional>
#include <string>

#include "core/fatal.h"
#include "core/run_options.h"
#include "jobs/flash_job.h"
#include "jobs/flash_limits.h"
#include "jobs/split.h"

ImageVerdict image_verdict(int64_t offset, int64_t size, const RunOptions& run_options) {
    if (offset == 0) {
        if (run_options.kernel_size_check && size > KERNEL_LIMIT) return ImageVerdict::kernel_too_big;
        return size >= IMAGE_SIZE_LIMIT ? ImageVerdict::too_large : ImageVerdict::accept;
    }
    if (run_options.romdisk_size_check && size > ROMDISK_LIMIT) return ImageVerdict::romdisk_too_big;
    if (size >= IMAGE_SIZE_LIMIT) return ImageVerdict::too_large;
    return size > DOWNLOAD_LIMIT ? ImageVerdict::split : ImageVerdict::accept;
}

namespace {

// The run's directory for pieces: -t, or /tmp, taken at the first split. Each
// split trims one trailing "/" in place, so a trimmed -t carries over to the
// later splits of the run.
std::optional<std::string> run_split_dir;

}  // namespace

void check_image(FlashJob& job, const RunOptions& run_options) {
    const char* name = job.file_name.c_str();
    if (job.file_name.find(SREC_MARK) != std::string::npos) {
        std::fputs(SREC_REFUSAL, stderr);
        error_exit("\tOh, and read the documentation.");
    }
    struct stat status;
    if (stat(name, &status) != 0) error_exit("Error: unable to stat %s", name);
    job.size = status.st_size;

    switch (image_verdict(job.offset, job.size, run_options)) {
    case ImageVerdict::accept: return;
    case ImageVerdict::kernel_too_big:
        error_exit("Error:  kernel '%s' is larger than 0x%lx bytes.  Aborting.", name, KERNEL_LIMIT);
    case ImageVerdict::romdisk_too_big:
        error_exit("Error:  romdisk '%s' is larger than 0x%lx bytes.  Aborting.", name, ROMDISK_LIMIT);
    case ImageVerdict::too_large:
        error_exit("Error:  '%s' is too large (2 GiB or more).  Aborting.", name);
    case ImageVerdict::split:
        std::fprintf(stderr, "Romdisk larger than 0x%lx.  Splitting into:\n", DOWNLOAD_LIMIT);
        if (!run_split_dir) run_split_dir = run_options.temp_dir.value_or(DEFAULT_TEMP_DIR);
        split_romdisk(job, *run_split_dir);
        return;
    }
}
