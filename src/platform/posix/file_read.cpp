#include <cerrno>
#include <cstdio>

#include "platform.h"

namespace platform {

std::size_t read_chunk(std::FILE* file, std::uint8_t* buffer, std::size_t length, int& error) {
    error = 0;
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, length, file);
    if (got == 0 && std::ferror(file) != 0) error = errno != 0 ? errno : EIO;
    return got;
}

}  // namespace platform
