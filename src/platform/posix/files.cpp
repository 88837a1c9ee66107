#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform.h"

namespace platform {

namespace {

// Appends one path component, or takes the last one off for "..".
bool add_component(char* out, std::size_t size, std::size_t& length, const char* start, std::size_t n) {
    if (n == 0 || (n == 1 && start[0] == '.')) return true;
    if (n == 2 && start[0] == '.' && start[1] == '.') {
        while (length > 1 && out[length - 1] != '/') --length;
        if (length > 1) --length;  // the slash before it, unless it is the root
        out[length] = '\0';
        return true;
    }
    const std::size_t slash = length > 1 ? 1 : 0;
    if (length + slash + n + 1 > size) return false;
    if (slash != 0) out[length++] = '/';
    std::memcpy(out + length, start, n);
    length += n;
    out[length] = '\0';
    return true;
}

bool add_path(char* out, std::size_t size, std::size_t& length, const char* path) {
    while (*path != '\0') {
        while (*path == '/') ++path;
        const char* end = path;
        while (*end != '\0' && *end != '/') ++end;
        if (!add_component(out, size, length, path, static_cast<std::size_t>(end - path))) return false;
        path = end;
    }
    return true;
}

}  // namespace

// Made lexically against the current directory: links are not resolved and
// the file need not exist.
bool full_path(char* out, std::size_t size, const char* path) {
    if (size < 2) return false;
    out[0] = '/';
    out[1] = '\0';
    std::size_t length = 1;
    if (path[0] != '/') {
        std::array<char, 4096> cwd{};
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) return false;
        if (!add_path(out, size, length, cwd.data())) return false;
    }
    if (!add_path(out, size, length, path)) return false;
    // A trailing slash says "directory": keep it, the open then tells.
    const std::size_t given = std::strlen(path);
    if (given > 0 && path[given - 1] == '/' && length > 1) {
        if (length + 2 > size) return false;
        out[length++] = '/';
        out[length] = '\0';
    }
    return true;
}

std::FILE* open_for_reading(const char* path) {
    std::FILE* file = std::fopen(path, "rb");
    if (file == nullptr) return nullptr;
    // fopen of a directory succeeds here and only the first read fails.
    struct stat info {};
    if (::fstat(::fileno(file), &info) == 0 && S_ISDIR(info.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool file_length(std::FILE* file, std::int64_t& length) {
    struct stat info {};
    if (::fstat(::fileno(file), &info) != 0) return false;
    length = static_cast<std::int64_t>(info.st_size);
    return true;
}

}  // namespace platform
