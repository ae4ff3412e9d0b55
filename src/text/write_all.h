// Writing a whole buffer to a descriptor: the one loop the image file and the event stream share.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>

// Writes all length bytes at data, going on after a signal and a short write; false when a
// write failed (errno says why) or took nothing.
inline bool write_all(int fd, const void* data, size_t length) {
    const char* bytes = static_cast<const char*>(data);
    size_t done = 0;
    while (done < length) {
        ssize_t n = ::write(fd, bytes + done, length - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}
