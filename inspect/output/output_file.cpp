#include "output_file.h"

#include "file_io.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copies `text` into `out` (output_path_size bytes); false when it is too long.
bool copy_path(char* out, const char* text) {
    std::size_t length = std::strlen(text);
    if (length >= output_path_size) return false;
    std::memcpy(out, text, length + 1);
    return true;
}

// The mode a new file gets from this process: 0666 less the umask.
mode_t new_file_mode() {
    mode_t mask = umask(0);
    umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

// A terminal or /dev/null may well be both read and written.
bool same_regular_file(const struct stat& one, const struct stat& other) {
    return S_ISREG(one.st_mode) && one.st_dev == other.st_dev && one.st_ino == other.st_ino;
}

}  // namespace

bool is_same_file(const char* path, const char* other_path) {
    struct stat one {};
    struct stat other {};
    return stat(path, &one) == 0 && stat(other_path, &other) == 0 && same_regular_file(one, other);
}

bool is_same_file_as_descriptor(const char* path, int fd) {
    struct stat one {};
    struct stat other {};
    return stat(path, &one) == 0 && fstat(fd, &other) == 0 && same_regular_file(one, other);
}

int output_file_open(output_file* out, const char* path) {
    out->stream = nullptr;
    out->temp[0] = '\0';
    // Through a symbolic link the file it points to is replaced, as a shell's
    // redirection would write it; a name that does not exist yet stays as given.
    char* resolved = realpath(path, nullptr);
    bool fits = copy_path(out->target, resolved ? resolved : path);
    std::free(resolved);
    if (!fits) return ENAMETOOLONG;

    struct stat existing {};
    bool exists = stat(out->target, &existing) == 0;
    if (exists && !S_ISREG(existing.st_mode)) {
        errno = 0;
        out->stream = std::fopen(out->target, "w");
        return out->stream ? 0 : errno_or_io();
    }

    // "<dir>/.<name>.XXXXXX", beside the target so that the rename stays
    // within one file system.
    const char* slash = std::strrchr(out->target, '/');
    std::size_t dir_length = slash ? static_cast<std::size_t>(slash - out->target) + 1 : 0;
    const char* name = out->target + dir_length;
    int written = std::snprintf(out->temp, output_path_size, "%.*s.%s.XXXXXX",
                                static_cast<int>(dir_length), out->target, name);
    if (written < 0 || static_cast<std::size_t>(written) >= output_path_size) {
        out->temp[0] = '\0';
        return ENAMETOOLONG;
    }
    int fd = mkostemp(out->temp, O_CLOEXEC);
    if (fd == -1) {
        int error = errno;
        out->temp[0] = '\0';
        return error;
    }
    mode_t mode = exists ? static_cast<mode_t>(existing.st_mode & 07777) : new_file_mode();
    int error = fchmod(fd, mode) == 0 ? 0 : errno;
    if (error == 0) {
        out->stream = fdopen(fd, "w");
        if (!out->stream) error = errno_or_io();
    }
    if (error != 0) {
        close(fd);
        unlink(out->temp);
        out->temp[0] = '\0';
    }
    return error;
}

int output_file_commit(output_file* out) {
    errno = 0;
    int error = 0;
    if (std::fflush(out->stream) != 0 || std::ferror(out->stream)) error = errno_or_io();
    // Stored before the rename, so that the name never shows a partial file,
    // not even after a power cut.
    if (error == 0 && out->temp[0] != '\0' && fsync(fileno(out->stream)) != 0) error = errno;
    errno = 0;
    if (std::fclose(out->stream) != 0 && error == 0) error = errno_or_io();
    out->stream = nullptr;
    if (out->temp[0] == '\0') return error;
    if (error == 0 && std::rename(out->temp, out->target) != 0) error = errno;
    if (error != 0) unlink(out->temp);
    out->temp[0] = '\0';
    return error;
}

void output_file_discard(output_file* out) {
    if (out->stream) std::fclose(out->stream);
    out->stream = nullptr;
    if (out->temp[0] != '\0') unlink(out->temp);
    out->temp[0] = '\0';
}
