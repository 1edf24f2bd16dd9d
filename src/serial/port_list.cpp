// SPDX-License-Identifier: GPL-2.0-or-later
#include "serial/port_list.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

#include "core/errno_guard.h"

namespace {

constexpr char DEV_DIR[] = "/dev/";
constexpr char BY_ID_DIR[] = "/dev/serial/by-id/";
constexpr char SYS_TTY_DIR[] = "/sys/class/tty/";
constexpr char PTS_PREFIX[] = "/dev/pts/";
constexpr char PROC_DIR[] = "/proc/";
constexpr char PROC_LOCKS[] = "/proc/locks";
// The kernel's generic layer between a UART's driver and its tty: not the driver a user knows.
constexpr char SERIAL_BASE_BUS[] = "serial-base";
// How far above the tty the driver is looked for: tty, port, UART, its bus device.
constexpr int DRIVER_LEVELS = 4;
// The usual names of serial ports; ttyS only with a UART behind it (UART_TYPE_UNKNOWN is 0).
constexpr const char* USB_PREFIXES[] = {"ttyUSB", "ttyACM"};
constexpr char UART_PREFIX[] = "ttyS";
constexpr char UART_TYPE_UNKNOWN[] = "0";

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string first_line_of(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    return line;
}

std::string base_name(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string real_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string link_base(const std::string& link) { return base_name(real_path(link)); }

std::vector<std::string> entries_of(const char* dir) {
    std::vector<std::string> names;
    DIR* stream = opendir(dir);
    if (stream == nullptr) return names;
    while (const dirent* entry = readdir(stream))
        if (entry->d_name[0] != '.') names.emplace_back(entry->d_name);
    closedir(stream);
    return names;
}

bool is_character_device(const std::string& path) {
    struct stat status {};
    return stat(path.c_str(), &status) == 0 && S_ISCHR(status.st_mode);
}

// A name of the usual kinds that is a port here.
bool is_usual_port(const std::string& name) {
    for (const char* prefix : USB_PREFIXES)
        if (starts_with(name, prefix)) return true;
    if (!starts_with(name, UART_PREFIX)) return false;
    const std::string type = first_line_of(std::string(SYS_TTY_DIR) + name + "/type");
    return !type.empty() && type != UART_TYPE_UNKNOWN;
}

std::string driver_of(const std::string& path) {
    if (starts_with(path, PTS_PREFIX)) return "pty";
    std::string dir = real_path(std::string(SYS_TTY_DIR) + base_name(path) + "/device");
    for (int level = 0; level < DRIVER_LEVELS && !dir.empty() && dir != "/"; ++level) {
        const std::string driver = link_base(dir + "/driver");
        if (!driver.empty() && link_base(dir + "/subsystem") != SERIAL_BASE_BUS) return driver;
        dir = dir.substr(0, dir.rfind('/'));
    }
    return "";
}

std::vector<pid_t> processes() {
    std::vector<pid_t> pids;
    for (const std::string& name : entries_of(PROC_DIR))
        if (std::all_of(name.begin(), name.end(), [](unsigned char c) { return std::isdigit(c); }))
            pids.push_back(static_cast<pid_t>(std::atol(name.c_str())));
    return pids;
}

// Whether process pid has a descriptor open on the character device rdev.
bool has_open(pid_t pid, dev_t rdev) {
    const std::string fd_dir = std::string(PROC_DIR) + std::to_string(pid) + "/fd/";
    for (const std::string& fd : entries_of(fd_dir.c_str())) {
        struct stat status {};
        // stat only looks the device up; nothing is opened.
        if (stat((fd_dir + fd).c_str(), &status) == 0 && S_ISCHR(status.st_mode) && status.st_rdev == rdev)
            return true;
    }
    return false;
}

std::string padded(const std::string& text, size_t width) {
    return text + std::string(width > text.size() ? width - text.size() : 0, ' ');
}

std::string or_dash(const std::string& text) { return text.empty() ? "-" : text; }

}  // namespace

std::string switch_name(const std::string& path) {
    return starts_with(path, DEV_DIR) ? path.substr(std::strlen(DEV_DIR)) : path;
}

bool natural_less(const std::string& a, const std::string& b) {
    size_t i = 0;
    size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t end_a = i;
            size_t end_b = j;
            while (end_a < a.size() && std::isdigit(static_cast<unsigned char>(a[end_a]))) ++end_a;
            while (end_b < b.size() && std::isdigit(static_cast<unsigned char>(b[end_b]))) ++end_b;
            // Without leading zeros, the longer run is the larger number.
            std::string run_a = a.substr(i, end_a - i);
            std::string run_b = b.substr(j, end_b - j);
            run_a.erase(0, std::min(run_a.find_first_not_of('0'), run_a.size() - 1));
            run_b.erase(0, std::min(run_b.find_first_not_of('0'), run_b.size() - 1));
            if (run_a.size() != run_b.size()) return run_a.size() < run_b.size();
            if (run_a != run_b) return run_a < run_b;
            i = end_a;
            j = end_b;
            continue;
        }
        if (a[i] != b[j]) return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<SerialPort> serial_ports(const std::string& extra_path) {
    std::map<std::string, SerialPort> found;  // by path
    for (const std::string& name : entries_of(DEV_DIR)) {
        const std::string path = DEV_DIR + name;
        if (is_usual_port(name) && is_character_device(path)) found[path].path = path;
    }
    for (const std::string& name : entries_of(BY_ID_DIR)) {
        const std::string link = BY_ID_DIR + name;
        const std::string target = real_path(link);
        if (target.empty() || !is_character_device(target)) continue;
        SerialPort& port = found[target];
        port.path = target;
        // Several names for one port (an adapter with two interfaces links each): the first in order.
        if (port.by_id.empty() || natural_less(link, port.by_id)) port.by_id = link;
    }
    if (!extra_path.empty()) {
        // A link (a by-id name) is the port it leads to; a name that is nothing yet stays as given.
        const std::string target = real_path(extra_path);
        const std::string key = target.empty() ? extra_path : target;
        found[key].path = key;
    }
    std::vector<SerialPort> ports;
    for (auto& [path, port] : found) {
        port.driver = driver_of(path);
        ports.push_back(port);
    }
    std::sort(ports.begin(), ports.end(),
              [](const SerialPort& a, const SerialPort& b) { return natural_less(a.path, b.path); });
    return ports;
}

std::vector<pid_t> lock_holders(const std::string& locks_text, dev_t device, ino_t inode) {
    // "1: FLOCK  ADVISORY  WRITE 1234 00:1a:4 0 EOF": the pid, then the file as
    // major:minor:inode, the device numbers in hexadecimal.
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(device), minor(device),
                  static_cast<unsigned long>(inode));
    std::vector<pid_t> pids;
    std::istringstream lines(locks_text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string number, kind, mode, access, pid, file;
        if (!(words >> number >> kind) || kind == "->") continue;
        if (!(words >> mode >> access >> pid >> file) || file != wanted) continue;
        const long value = std::atol(pid.c_str());
        // An open file description lock that no process owns shows pid -1.
        if (value > 0 && std::find(pids.begin(), pids.end(), value) == pids.end())
            pids.push_back(static_cast<pid_t>(value));
    }
    return pids;
}

std::vector<PortHolder> port_holders(const char* device_path, HolderKind kind) {
    const ErrnoGuard errno_kept;
    std::vector<PortHolder> holders;
    struct stat status {};
    if (stat(device_path, &status) != 0) return holders;
    std::vector<pid_t> pids;
    std::ifstream locks(PROC_LOCKS);
    const std::string locks_text((std::istreambuf_iterator<char>(locks)), std::istreambuf_iterator<char>());
    for (const pid_t pid : lock_holders(locks_text, status.st_dev, status.st_ino))
        if (pid != getpid()) pids.push_back(pid);
    const bool openers_too = kind == HolderKind::any || pids.empty();
    if (openers_too && S_ISCHR(status.st_mode))
        for (const pid_t pid : processes())
            if (pid != getpid() && std::find(pids.begin(), pids.end(), pid) == pids.end() &&
                has_open(pid, status.st_rdev))
                pids.push_back(pid);
    for (const pid_t pid : pids)
        holders.push_back({pid, first_line_of(std::string(PROC_DIR) + std::to_string(pid) + "/comm")});
    return holders;
}

std::string holders_text(const std::vector<PortHolder>& holders) {
    std::string text;
    for (const PortHolder& holder : holders) {
        if (!text.empty()) text += ", ";
        text += holder.command.empty() ? "pid " + std::to_string(holder.pid)
                                       : holder.command + " (pid " + std::to_string(holder.pid) + ")";
    }
    return text;
}

void list_ports(std::FILE* stream, const std::string& extra_path) {
    struct Row {
        std::string name, by_id, driver, state;
    };
    std::vector<Row> rows;
    for (const SerialPort& port : serial_ports(extra_path)) {
        std::string state = "free";
        if (!is_character_device(port.path)) {
            state = "not a device here";
        } else if (const std::vector<PortHolder> holders = port_holders(port.path.c_str()); !holders.empty()) {
            state = "in use by " + holders_text(holders);
        }
        rows.push_back({switch_name(port.path), or_dash(port.by_id), or_dash(port.driver), state});
    }
    size_t name_width = 0, by_id_width = 0, driver_width = 0;
    for (const Row& row : rows) {
        name_width = std::max(name_width, row.name.size());
        by_id_width = std::max(by_id_width, row.by_id.size());
        driver_width = std::max(driver_width, row.driver.size());
    }
    for (const Row& row : rows)
        std::fprintf(stream, "%s  %s  %s  %s\n", padded(row.name, name_width).c_str(),
                     padded(row.by_id, by_id_width).c_str(), padded(row.driver, driver_width).c_str(),
                     row.state.c_str());
    if (rows.empty()) std::fputs("No serial port found.\n", stderr);
}

std::string open_failure_hint(int error, const char* device_path) {
    const ErrnoGuard errno_kept;
    if (error == ENOENT || error == ENODEV || error == ENXIO) {
        std::string names;
        for (const SerialPort& port : serial_ports(""))
            names += (names.empty() ? "" : ", ") + switch_name(port.path);
        if (names.empty()) return "no serial port found here: is the adapter plugged in? kelvane -L lists the ports";
        return "the serial ports here: " + names + " (kelvane -L tells them apart); give one with -s";
    }
    if (error == EACCES || error == EPERM) {
        struct stat status {};
        const group* owner = stat(device_path, &status) == 0 ? getgrgid(status.st_gid) : nullptr;
        const std::string group_name = owner != nullptr ? owner->gr_name : "dialout";
        const passwd* user = getpwuid(getuid());
        const std::string user_name = user != nullptr ? user->pw_name : "$USER";
        return "the port is for group '" + group_name + "': sudo usermod -aG " + group_name + " " + user_name +
               ", then log out and in again (it takes effect at the next login)";
    }
    return "";
}

std::string port_in_use_hint(const char* device_path) {
    const ErrnoGuard errno_kept;
    const std::vector<PortHolder> holders = port_holders(device_path, HolderKind::lockers_first);
    if (holders.empty())
        return "the holder is not shown to this user (another user's program); kelvane -L run by root names it";
    return "held by " + holders_text(holders) + "; end it, or give another port with -s";
}
