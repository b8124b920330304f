#include "output_path.h"

#include <cerrno>

int output_open(const char* path, std::FILE** out) {
    *out = std::fopen(path, "w");
    return *out ? 0 : (errno ? errno : EIO);
}

int output_close(std::FILE* out, const char* path, int error) {
    (void)path;
    if (error == 0 && std::ferror(out)) error = EIO;
    if (std::fclose(out) != 0 && error == 0) error = errno ? errno : EIO;
    return error;
}
