// SPDX-License-Identifier: GPL-2.0-or-later
#include "inspect.h"

#include "faults.h"
#include "flash_store.h"

#include <cstdio>
#include <vector>

int inspect_compare(const std::string& flash_path, uint32_t offset, const std::string& image_path) {
    std::vector<uint8_t> flash, image;
    std::string error;
    if (!read_whole_file(flash_path, flash, error) || !read_whole_file(image_path, image, error)) {
        std::fprintf(stderr, "qz4sim: %s\n", error.c_str());
        return 2;
    }
    const long long at = flash_first_difference(flash, offset, image);
    if (at < 0) {
        std::fprintf(stderr, "qz4sim: flash 0x%x..0x%llx equals %s (%zu bytes)\n", offset,
                     (unsigned long long)offset + image.size() - 1, image_path.c_str(), image.size());
        return 0;
    }
    const unsigned long long where = (unsigned long long)offset + (unsigned long long)at;
    if (where >= flash.size())
        std::fprintf(stderr, "qz4sim: %s reaches past the end of the flash (0x%zx bytes)\n", image_path.c_str(),
                     flash.size());
    else
        std::fprintf(stderr, "qz4sim: flash differs from %s at offset 0x%llx (image byte 0x%llx): 0x%02x, not 0x%02x\n",
                     image_path.c_str(), where, (unsigned long long)at, flash[where], image[size_t(at)]);
    return 1;
}

int inspect_check_erased(const std::string& flash_path, uint32_t offset, uint32_t size) {
    std::vector<uint8_t> flash;
    std::string error;
    if (!read_whole_file(flash_path, flash, error)) {
        std::fprintf(stderr, "qz4sim: %s\n", error.c_str());
        return 2;
    }
    const long long at = flash_first_unerased(flash, offset, size);
    if (at < 0) {
        std::fprintf(stderr, "qz4sim: flash 0x%x..0x%llx is erased\n", offset, (unsigned long long)offset + size - 1);
        return 0;
    }
    std::fprintf(stderr, "qz4sim: flash not erased at offset 0x%llx\n", (unsigned long long)offset + at);
    return 1;
}

uint8_t sample_image_byte(uint64_t seed, uint64_t index) {
    // Eight bytes per draw of the generator, keyed by seed and position.
    FaultRng rng;
    fault_rng_seed(rng, seed * 0x100000001B3ull + index / 8);
    return static_cast<uint8_t>(fault_rng_next(rng) >> (8 * (index % 8)));
}

int make_sample_image(const std::string& path, uint32_t size, uint64_t seed) {
    std::vector<uint8_t> image(size);
    for (uint32_t i = 0; i < size; ++i) image[i] = sample_image_byte(seed, i);
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr || std::fwrite(image.data(), 1, image.size(), f) != image.size() || std::fclose(f) != 0) {
        std::fprintf(stderr, "qz4sim: cannot write %s\n", path.c_str());
        return 2;
    }
    return 0;
}
