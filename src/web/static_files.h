// The files the pages are made of, built into the program from page/.
#pragma once

#include <cstddef>
#include <string>

namespace web {

struct StaticFile {
    const char* path;         // as requested, such as /line.js
    const char* content_type; // such as text/javascript; charset=utf-8
    const unsigned char* body;
    size_t size;
};

// The file served at `path`; nullptr when there is none.
const StaticFile* find_static(const std::string& path);

} // namespace web
