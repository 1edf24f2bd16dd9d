// Runs the real kelvane binary (or any program) and collects what it printed.
#pragma once

#include <string>
#include <vector>

struct RunResult {
    int exit_status = -1;  // the exit status, or 128 + signal number
    std::string out;       // standard output
    std::string err;       // standard error
};

// Runs program with args (args[0] is not the program name) in directory cwd
// (the current one when empty), with standard input from /dev/null.
RunResult run_program(const std::string& program, const std::vector<std::string>& args,
                      const std::string& cwd = "");
// Runs the kelvane binary built beside the tests.
RunResult run_kelvane(const std::vector<std::string>& args, const std::string& cwd = "");

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    // path()/name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Writes bytes into path (created or truncated).
void write_file(const std::string& path, const std::string& bytes);
// A file of size bytes whose content depends on seed and position.
void write_pattern_file(const std::string& path, long long size, unsigned seed = 1);
std::string read_file(const std::string& path);
