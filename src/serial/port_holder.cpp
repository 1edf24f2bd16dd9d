// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port_holder.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/errno_guard.h"

namespace {

constexpr char PROC_DIR[] = "/proc";
constexpr char PTS_DIR[] = "/dev/pts/";           // a pseudo-terminal's slave side: /dev/pts/<index>
constexpr char PTMX_NAME[] = "ptmx";              // every master side is an open of /dev/ptmx
constexpr char TTY_INDEX_FIELD[] = "tty-index:";  // the master's pty index, in its fdinfo

// The pty index of a slave device, or -1 for any other device.
long pty_index(const char* device_path) {
    char* real = realpath(device_path, nullptr);
    if (real == nullptr) return -1;
    long index = -1;
    if (std::strncmp(real, PTS_DIR, sizeof PTS_DIR - 1) == 0) {
        char* end = nullptr;
        const long value = std::strtol(real + sizeof PTS_DIR - 1, &end, 10);
        if (end != real + sizeof PTS_DIR - 1 && *end == '\0') index = value;
    }
    std::free(real);
    return index;
}

// The pty index in a master descriptor's fdinfo, or -1.
long master_index(const std::string& pid_dir, const char* fd_name) {
    const std::string info = pid_dir + "/fdinfo/" + fd_name;
    FILE* file = std::fopen(info.c_str(), "re");
    if (file == nullptr) return -1;
    long index = -1;
    char line[128];
    while (std::fgets(line, sizeof line, file) != nullptr)
        if (std::strncmp(line, TTY_INDEX_FIELD, sizeof TTY_INDEX_FIELD - 1) == 0)
            index = std::strtol(line + sizeof TTY_INDEX_FIELD - 1, nullptr, 10);
    std::fclose(file);
    return index;
}

bool is_ptmx(const std::string& link) {
    char target[256];
    const ssize_t length = readlink(link.c_str(), target, sizeof target - 1);
    if (length <= 0) return false;
    target[length] = '\0';
    const char* base = std::strrchr(target, '/');
    return std::strcmp(base != nullptr ? base + 1 : target, PTMX_NAME) == 0;
}

// Whether the process behind pid_dir has the device open, and not as its far end.
bool holds_device(const std::string& pid_dir, dev_t device, long index) {
    const std::string fd_dir = pid_dir + "/fd";
    DIR* fds = opendir(fd_dir.c_str());
    if (fds == nullptr) return false;  // gone, or not ours to look at
    bool holds = false;
    bool far_end = false;
    while (const dirent* entry = readdir(fds)) {
        if (entry->d_name[0] == '.') continue;
        const std::string link = fd_dir + "/" + entry->d_name;
        struct stat status;
        if (stat(link.c_str(), &status) != 0 || !S_ISCHR(status.st_mode)) continue;
        if (status.st_rdev == device) holds = true;
        if (index >= 0 && is_ptmx(link) && master_index(pid_dir, entry->d_name) == index) far_end = true;
    }
    closedir(fds);
    return holds && !far_end;
}

}  // namespace

pid_t port_holder(const char* device_path) {
    const ErrnoGuard errno_kept;  // the caller's message shows its own failure
    struct stat status;
    if (stat(device_path, &status) != 0 || !S_ISCHR(status.st_mode)) return 0;
    const long index = pty_index(device_path);
    DIR* proc = opendir(PROC_DIR);
    if (proc == nullptr) return 0;
    const pid_t self = getpid();
    pid_t holder = 0;
    while (const dirent* entry = readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (end == entry->d_name || *end != '\0' || pid == self) continue;
        if (holds_device(std::string(PROC_DIR) + "/" + entry->d_name, status.st_rdev, index)) {
            holder = static_cast<pid_t>(pid);
            break;
        }
    }
    closedir(proc);
    return holder;
}
