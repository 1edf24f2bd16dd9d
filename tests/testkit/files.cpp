// SPDX-License-Identifier: GPL-2.0-or-later
#include "testkit/files.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testkit {

TempDir::TempDir(const std::string& prefix) {
    std::string name = "/tmp/" + prefix + "-XXXXXX";
    if (mkdtemp(name.data()) == nullptr) throw std::runtime_error("mkdtemp " + name);
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedChdir::ScopedChdir(const std::string& dir) : saved_(std::filesystem::current_path()) {
    std::filesystem::current_path(dir);
}

ScopedChdir::~ScopedChdir() {
    std::error_code error;
    std::filesystem::current_path(saved_, error);
    if (error) {
        // Every later test would run in the wrong place: stop here instead.
        std::fprintf(stderr, "testkit: cannot return to %s: %s\n", saved_.c_str(), error.message().c_str());
        std::abort();
    }
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

void write_pattern_file(const std::string& path, long long size, unsigned seed) {
    std::string bytes(static_cast<size_t>(size), '\0');
    unsigned state = seed * 2654435761u + 1;
    for (auto& b : bytes) {
        state = state * 1103515245u + 12345u;
        b = static_cast<char>(state >> 16);
    }
    write_file(path, bytes);
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testkit
