// SPDX-License-Identifier: GPL-2.0-or-later
// Scratch files for tests: a directory that removes itself, a scoped change
// of the current directory, and whole-file reads and writes.
#pragma once

#include <filesystem>
#include <string>

namespace testkit {

// A fresh directory under /tmp, removed with everything in it at the end of the scope.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "testkit");  // /tmp/<prefix>-XXXXXX
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // path()/name
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Makes dir the current directory until the end of the scope.
class ScopedChdir {
public:
    explicit ScopedChdir(const std::string& dir);
    ~ScopedChdir();
    ScopedChdir(const ScopedChdir&) = delete;
    ScopedChdir& operator=(const ScopedChdir&) = delete;

private:
    std::filesystem::path saved_;
};

// Writes bytes into path (created or truncated).
void write_file(const std::string& path, const std::string& bytes);
// A file of size bytes whose content depends on seed and position.
void write_pattern_file(const std::string& path, long long size, unsigned seed = 1);
// The whole of a file, or empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace testkit
