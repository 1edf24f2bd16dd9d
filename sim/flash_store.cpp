// SPDX-License-Identifier: GPL-2.0-or-later
#include "flash_store.h"

#include "hardware.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char MONITOR_IMAGE_HEADER[] = "PMON/QZ4 boot monitor (qz4sim)";

bool write_all(int fd, const uint8_t* data, size_t size, off_t at) {
    while (size > 0) {
        const ssize_t n = pwrite(fd, data, size, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
        at += n;
    }
    return true;
}

// The range as it now stands in memory, into the file.
bool write_through(FlashStore& f, uint32_t offset, size_t size, std::string& error) {
    if (write_all(f.fd, f.bytes.data() + offset, size, offset)) return true;
    error = "cannot write " + f.path + ": " + std::strerror(errno);
    return false;
}

}  // namespace

uint8_t monitor_image_byte(uint32_t index) {
    if (index < sizeof MONITOR_IMAGE_HEADER) return static_cast<uint8_t>(MONITOR_IMAGE_HEADER[index]);
    return static_cast<uint8_t>((index * 7) ^ (index >> 9));
}

bool read_whole_file(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    const int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        error = "cannot stat " + path + ": " + std::strerror(errno);
        close(fd);
        return false;
    }
    bytes.assign(static_cast<size_t>(st.st_size), 0);
    size_t got = 0;
    while (got < bytes.size()) {
        const ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        got += static_cast<size_t>(n);
    }
    close(fd);
    if (got != bytes.size()) {
        error = "short read from " + path;
        return false;
    }
    return true;
}

bool flash_open(FlashStore& f, const std::string& path, uint32_t size, std::string& error) {
    f.path = path;
    f.fd = open(path.c_str(), O_RDWR);
    if (f.fd >= 0) {
        if (!read_whole_file(path, f.bytes, error)) return false;
        if (f.bytes.empty()) {
            error = path + " is empty";
            return false;
        }
        return true;
    }
    if (errno != ENOENT) {
        error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    f.fd = open(path.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
    if (f.fd < 0) {
        error = "cannot create " + path + ": " + std::strerror(errno);
        return false;
    }
    f.bytes.assign(size, ERASED_BYTE);
    for (uint32_t i = 0; i < MONITOR_AREA_SIZE && MONITOR_AREA_START + i < size; ++i)
        f.bytes[MONITOR_AREA_START + i] = monitor_image_byte(i);
    if (!write_all(f.fd, f.bytes.data(), f.bytes.size(), 0)) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool flash_erase(FlashStore& f, uint32_t offset, size_t size, std::string& error) {
    std::memset(f.bytes.data() + offset, ERASED_BYTE, size);
    for (const StuckBit& s : f.stuck)
        if (s.offset >= offset && s.offset - offset < size) f.bytes[s.offset] &= static_cast<uint8_t>(~(1u << s.bit));
    return write_through(f, offset, size, error);
}

bool flash_program(FlashStore& f, uint32_t offset, const uint8_t* data, size_t size, std::string& error) {
    for (size_t i = 0; i < size; ++i) f.bytes[offset + i] &= data[i];
    return write_through(f, offset, size, error);
}

bool flash_stick_bits(FlashStore& f, const std::vector<StuckBit>& bits, std::string& error) {
    for (const StuckBit& s : bits) {
        f.stuck.push_back(s);
        f.bytes[s.offset] &= static_cast<uint8_t>(~(1u << s.bit));
        if (!write_through(f, s.offset, 1, error)) return false;
    }
    return true;
}

void flash_close(FlashStore& f) {
    if (f.fd >= 0) close(f.fd);
    f.fd = -1;
}

long long flash_first_difference(const std::vector<uint8_t>& flash, uint32_t offset,
                                 const std::vector<uint8_t>& image) {
    for (size_t i = 0; i < image.size(); ++i) {
        const size_t at = size_t(offset) + i;
        if (at >= flash.size() || flash[at] != image[i]) return static_cast<long long>(i);
    }
    return -1;
}

long long flash_first_unerased(const std::vector<uint8_t>& flash, uint32_t offset, uint32_t size) {
    for (size_t i = 0; i < size; ++i) {
        const size_t at = size_t(offset) + i;
        if (at >= flash.size() || flash[at] != ERASED_BYTE) return static_cast<long long>(i);
    }
    return -1;
}
