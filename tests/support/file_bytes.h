// Whole files as byte strings, for tests that make, damage and compare files.
// Header only, so that unit tests use it without the server-starting support.
#pragma once

#include <fstream>
#include <sstream>
#include <string>

// The file's bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return bytes.str();
}

inline void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}
