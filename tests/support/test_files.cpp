#include "test_files.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <stdexcept>

ScratchDir::ScratchDir(bool in_memory) {
    std::string root = in_memory && access("/dev/shm", W_OK) == 0
                           ? "/dev/shm"
                           : std::filesystem::temp_directory_path().string();
    std::string tmpl = root + "/korvofw-test-XXXXXX";
    if (mkdtemp(&tmpl[0]) == nullptr)
        throw std::runtime_error("mkdtemp failed in " + root);
    dir = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

Bytes read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::runtime_error("cannot read " + path);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const std::string& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out)
        throw std::runtime_error("cannot write " + path);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        parts.push_back(part);
    return parts;
}

std::string to_hex(const Bytes& bytes, size_t limit) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < bytes.size() && i < limit; ++i)
        text += {digits[bytes[i] >> 4], digits[bytes[i] & 0x0F]};
    return text;
}

std::string hex_record(int address, const Bytes& data, int type) {
    using b = unsigned char;
    Bytes record = {b(data.size()), b(address >> 8), b(address), b(type)};
    record.insert(record.end(), data.begin(), data.end());
    record.push_back(b(0x100 - std::accumulate(record.begin(), record.end(), 0u)));
    return ":" + to_hex(record) + "\n";
}

std::string hex_file(int address, const Bytes& data, int record_size) {
    std::string text;
    int page = 0; // each 64 KiB page after the first is announced, as the toolchain does
    for (size_t i = 0; i < data.size(); i += record_size) {
        size_t n = std::min<size_t>(record_size, data.size() - i);
        const int at = address + static_cast<int>(i);
        if (at >> 16 != page) {
            page = at >> 16;
            text += hex_record(
                0, {static_cast<unsigned char>(page >> 8), static_cast<unsigned char>(page)}, 4);
        }
        text += hex_record(at, Bytes(data.begin() + i, data.begin() + i + n));
    }
    return text + HEX_EOF;
}
