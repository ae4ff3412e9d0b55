// Scratch files and test data for tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

using Bytes = std::vector<unsigned char>;

// A fresh directory, removed with the object; in memory (/dev/shm) when asked, for runs not about
// power loss: the station syncs its image file at every rewrite, costlier on disk than a run.
struct ScratchDir {
    explicit ScratchDir(bool in_memory = false);
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string path(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

inline std::string data_path(const std::string& name) {
    return KORVOFW_TEST_DATA "/" + name;
}
Bytes read_bytes(const std::string& path);
void write_bytes(const std::string& path, const Bytes& bytes);
inline std::string to_text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
inline void write_text(const std::string& path, const std::string& text) {
    write_bytes(path, Bytes(text.begin(), text.end()));
}
inline bool has(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}
// The parts of text between separators.
std::vector<std::string> split(const std::string& text, char separator);
// Upper-case hex digits, two a byte, of at most limit bytes.
std::string to_hex(const Bytes& bytes, size_t limit = SIZE_MAX);
// The number in upper-case hex digits, at least `digits` of them.
inline std::string hex(int value, int digits = 1) {
    char text[16];
    std::snprintf(text, sizeof text, "%0*X", digits, static_cast<unsigned>(value));
    return text;
}

// One Intel HEX data record with its checksum, ending in a line feed.
std::string hex_record(int address, const Bytes& data, int type = 0);
// Data records of at most record_size bytes covering data from address, then an end record.
std::string hex_file(int address, const Bytes& data, int record_size = 16);
inline const char HEX_EOF[] = ":00000001FF\n";
