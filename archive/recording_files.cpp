#include "recording_files.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "provenance_file.h"
#include "recorded_file.h"
#include "recording_summary.h"

namespace {

bool ends_with(const std::string& text, const char* suffix) {
    const std::size_t n = std::strlen(suffix);
    return text.size() >= n && text.compare(text.size() - n, n, suffix) == 0;
}

// The start time a provenance file gives, if any.
void read_sidecar_start(int dir_fd, const std::string& name, double* start_s) {
    int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return;
    provenance prov{};
    provenance_read(fd, &prov);
    close(fd);
    if (prov.have_start) *start_s = prov.start_unix_s;
}

// A regular file by this name, not followed if it is a link.
bool regular_file(int dir_fd, const std::string& name, struct stat* status) {
    return fstatat(dir_fd, name.c_str(), status, AT_SYMLINK_NOFOLLOW) == 0 &&
           S_ISREG(status->st_mode);
}

std::uint64_t allocated_bytes(const struct stat& status) {
    return static_cast<std::uint64_t>(status.st_blocks) * 512u;
}

int unlink_if_there(int dir_fd, const std::string& name) {
    if (unlinkat(dir_fd, name.c_str(), 0) == 0 || errno == ENOENT) return 0;
    return errno;
}

}  // namespace

bool parse_file_name(const char* name, parsed_name* parsed) {
    std::string text(name);
    const bool hidden = text.compare(0, std::strlen(temporary_prefix), temporary_prefix) == 0;
    char summary_stem[256];
    std::tm summary_time{};
    const std::string shown = hidden ? text.substr(std::strlen(temporary_prefix)) : text;
    const bool summary_temporary = hidden && ends_with(shown, summary_temporary_suffix);
    const std::string summary_name =
        summary_temporary ? shown.substr(0, shown.size() - std::strlen(summary_temporary_suffix))
                          : text;
    if ((!hidden || summary_temporary) && parse_summary_name(summary_name.c_str(), summary_stem,
                                                             sizeof summary_stem, &summary_time)) {
        parsed->kind = summary_temporary ? file_kind::temporary : file_kind::summary;
        parsed->stem = summary_stem;
        parsed->name_time = std::mktime(&summary_time);
        return true;
    }
    const bool temporary =
        hidden && (ends_with(text, temporary_suffix) || ends_with(text, compact_temporary_suffix));
    if (temporary) {
        text = text.substr(std::strlen(temporary_prefix));
        text.resize(text.size() - std::strlen(temporary_suffix));
    }
    std::size_t stem = 0;
    std::tm local{};
    const name_kind kind = parse_data_file_name(text.c_str(), &stem, &local);
    if (temporary && kind != name_kind::data) return false;  // only a data file has one
    if (kind == name_kind::none || kind == name_kind::compressed_gz) return false;
    parsed->kind = kind == name_kind::data ? (temporary ? file_kind::temporary : file_kind::data)
                   : kind == name_kind::compressed_zst ? file_kind::compressed
                   : kind == name_kind::compact        ? file_kind::compact
                                                       : file_kind::sidecar;
    parsed->stem = text.substr(0, stem);
    parsed->name_time = std::mktime(&local);
    return true;
}

int scan_directory(int dir_fd, std::vector<recording>* recordings,
                   std::vector<std::string>* temporaries) {
    recordings->clear();
    temporaries->clear();
    // The stream gets a descriptor of its own: closedir closes it.
    int listing_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listing_fd < 0) return errno;
    DIR* listing = fdopendir(listing_fd);
    if (!listing) {
        int error = errno;
        close(listing_fd);
        return error;
    }
    std::vector<parsed_name> names;
    for (;;) {
        errno = 0;
        // cppcheck-suppress readdirCalled ; the stream is this function's alone
        const dirent* entry = readdir(listing);
        if (!entry) break;
        parsed_name parsed{};
        struct stat status {};
        if (!parse_file_name(entry->d_name, &parsed)) continue;
        if (parsed.kind != file_kind::temporary)
            names.push_back(parsed);
        else if (regular_file(dir_fd, entry->d_name, &status))
            temporaries->push_back(entry->d_name);
    }
    int error = errno;
    closedir(listing);
    if (error != 0) return error;

    std::sort(names.begin(), names.end(),
              [](const parsed_name& a, const parsed_name& b) { return a.stem < b.stem; });
    for (const parsed_name& parsed : names) {
        if (recordings->empty() || recordings->back().stem != parsed.stem)
            recordings->push_back(recording{parsed.stem, data_state::absent, false, false,
                                            static_cast<double>(parsed.name_time), 0, 0, false,
                                            false, std::nan("")});
        recording& rec = recordings->back();
        struct stat status {};
        if (parsed.kind == file_kind::data) {
            const std::string name = rec.stem + data_file_name_suffix;
            int fd = -1;
            if (open_data_file(dir_fd, name.c_str(), &rec.data, &fd) != 0)
                rec.data = data_state::not_recording;
            if (fd >= 0 && fstat(fd, &status) == 0) {
                rec.end_s = std::max(rec.end_s, status.st_mtime);
                rec.bytes_on_disk += allocated_bytes(status);
            }
            if (fd >= 0) close(fd);
        } else if (parsed.kind == file_kind::compressed || parsed.kind == file_kind::compact) {
            const bool compact = parsed.kind == file_kind::compact;
            const std::string name = rec.stem + data_file_name_suffix +
                                     (compact ? compact_suffix : compressed_zst_suffix);
            if (!regular_file(dir_fd, name, &status)) continue;
            rec.compressed = true;
            rec.compact = rec.compact || compact;
            rec.end_s = std::max(rec.end_s, status.st_mtime);
            rec.bytes_on_disk += allocated_bytes(status);
        } else if (parsed.kind == file_kind::summary) {
            rec.summary = regular_file(dir_fd, summary_name(rec), &status);
        } else {
            const std::string name = rec.stem + provenance_suffix;
            rec.sidecar = regular_file(dir_fd, name, &status);
            if (!rec.sidecar) continue;
            rec.bytes_on_disk += allocated_bytes(status);
            read_sidecar_start(dir_fd, name, &rec.start_s);
        }
    }
    std::stable_sort(recordings->begin(), recordings->end(),
                     [](const recording& a, const recording& b) { return a.start_s < b.start_s; });
    return 0;
}

std::string summary_name(const recording& rec) {
    char name[256];
    return format_summary_name(rec.stem.c_str(), name, sizeof name) ? name : "";
}

std::string archived_name(const recording& rec) {
    return rec.stem + data_file_name_suffix +
           (rec.compact ? compact_suffix : compressed_zst_suffix);
}

bool compressed_is_recorders(int dir_fd, const recording& rec) {
    if (!rec.compressed) return true;
    // Read only for a recording about to go: the scan stays cheap.
    int fd =
        openat(dir_fd, archived_name(rec).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    const bool recorded = fd >= 0 && compressed_starts_with_header(fd);
    if (fd >= 0) close(fd);
    return recorded;
}

int delete_recording(int dir_fd, const recording& rec) {
    const std::string data = rec.stem + data_file_name_suffix;
    // Both archived forms, should a run have left both.
    const std::pair<bool, std::string> files[] = {
        {rec.data == data_state::finished, data},
        {rec.compressed, data + compressed_zst_suffix},
        {rec.compressed, data + compact_suffix},
        {rec.sidecar, rec.stem + provenance_suffix},
    };
    for (const auto& [there, name] : files) {
        const int error = there ? unlink_if_there(dir_fd, name) : 0;
        if (error != 0) return error;
    }
    return sync_directory_fd(dir_fd);
}

int delete_summary(int dir_fd, const recording& rec) {
    const int error = unlink_if_there(dir_fd, summary_name(rec));
    return error != 0 ? error : sync_directory_fd(dir_fd);
}

int remove_temporary(int dir_fd, const std::string& name) { return unlink_if_there(dir_fd, name); }

int create_temporary(int dir_fd, const std::string& name, const struct stat& original, int* fd) {
    *fd = openat(dir_fd, name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (*fd < 0) return errno;
    if ((original.st_uid != geteuid() || original.st_gid != getegid()) &&
        fchown(*fd, original.st_uid, original.st_gid) != 0)
        return errno;
    if (fchmod(*fd, original.st_mode & 07777) != 0) return errno;
    return 0;
}

int sync_directory_fd(int dir_fd) { return fsync(dir_fd) == 0 ? 0 : errno; }

int install_temporary(int dir_fd, const std::string& temp_name, const std::string& final_name,
                      const volatile std::sig_atomic_t* stop, bool* temp_named, const char** step) {
    *step = "rename";
    if (*stop) return EINTR;
    if (renameat(dir_fd, temp_name.c_str(), dir_fd, final_name.c_str()) != 0) return errno;
    *temp_named = false;
    *step = "sync";
    return sync_directory_fd(dir_fd);
}
