#include "recording_summary.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "csv_reader.h"
#include "data_file_name.h"
#include "file_io.h"
#include "inspect_run.h"
#include "provenance_file.h"
#include "recording_files.h"
#include "text_escape.h"

namespace {

// A signal is seen within this many rows.
constexpr std::uint64_t rows_between_stop_checks = 65536;
constexpr std::size_t packed_buffer_size = std::size_t{1} << 16;

// Everything one summary holds, each with its "not acquired" value.
struct summarizing {
    int in_fd = -1;
    int temp_fd = -1;
    bool temp_named = false;  // the temporary's name exists and is ours to remove
    inspect_result* result = nullptr;
    row_pass pass{};
    bool pass_ready = false;
    csv_reader reader{};
    bool reader_open = false;
    z_stream packer{};
    bool packer_ready = false;
    unsigned char* packed = nullptr;
};

void release(summarizing* s, int dir_fd, const std::string& temp_name) {
    if (s->temp_named) unlinkat(dir_fd, temp_name.c_str(), 0);
    std::free(s->packed);
    if (s->packer_ready) deflateEnd(&s->packer);
    if (s->reader_open) csv_reader_close(&s->reader);
    if (s->pass_ready) row_pass_free(&s->pass);
    if (s->result) inspect_result_free(s->result);
    std::free(s->result);
    if (s->temp_fd >= 0) close(s->temp_fd);
    if (s->in_fd >= 0) {
        posix_fadvise(s->in_fd, 0, 0, POSIX_FADV_DONTNEED);
        close(s->in_fd);
    }
}

int fail(summary_result* result, const char* step, int error) {
    result->failed_step = step;
    return error != 0 ? error : EIO;
}

// `size` bytes of text through the compressor into the temporary; with
// `finish`, the end of the gzip stream too.
int pack(summarizing* s, const char* text, std::size_t size, bool finish) {
    z_stream& z = s->packer;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text));
    z.avail_in = static_cast<uInt>(size);
    for (;;) {
        z.next_out = s->packed;
        z.avail_out = static_cast<uInt>(packed_buffer_size);
        const int status = deflate(&z, finish ? Z_FINISH : Z_NO_FLUSH);
        if (status == Z_STREAM_ERROR) return EIO;
        const std::size_t out = packed_buffer_size - z.avail_out;
        const int error = out > 0 ? write_all(s->temp_fd, s->packed, out) : 0;
        if (error != 0) return error;
        if (finish ? status == Z_STREAM_END : z.avail_out != 0) return 0;
    }
}

// A figure as it reads back to the same double; empty when there is none.
const char* figure(double v, char (&text)[json_number_size]) {
    if (!std::isfinite(v)) return "";
    return format_json_number(v, text);
}

// One line per closed interval: the gaps and overlaps are those found since
// the previous line was written.
struct line_writer {
    run_clock clock;
    std::uint64_t gaps_done;
    std::uint64_t overlaps_done;
    std::uint64_t intervals;
};

int write_intervals(summarizing* s, line_writer* w, std::uint64_t gaps, std::uint64_t overlaps) {
    trend_state& trend = s->result->trend;
    for (std::size_t i = 0; i < trend.intervals.count; ++i) {
        const trend_interval& v = trend.intervals.slots[i];
        const double start_s = trend_start_s(trend, v);
        char f[6][json_number_size];
        char line[320];
        const int n = std::snprintf(
            line, sizeof line, "%s,%s,%" PRIu64 ",%s,%s,%s,%s,%s,%" PRIu64 ",%" PRIu64 "\n",
            w->clock.known ? clock_time(w->clock, start_s).text : "", figure(start_s, f[0]), v.rows,
            figure(v.rms_g, f[1]), figure(v.peak_g, f[2]), figure(v.velocity_rms_mm_s, f[3]),
            figure(v.dominant_hz, f[4]), figure(v.kurtosis, f[5]), gaps - w->gaps_done,
            overlaps - w->overlaps_done);
        w->gaps_done = gaps;
        w->overlaps_done = overlaps;
        const int error = pack(s, line, static_cast<std::size_t>(n), false);
        if (error != 0) return error;
        ++w->intervals;
    }
    trend.intervals.count = 0;  // written: the buffer never fills, the interval stays
    return 0;
}

int summary_steps(summarizing* s, int dir_fd, const std::string& stem, const std::string& data_name,
                  const std::string& temp_name, const std::string& final_name,
                  const volatile std::sig_atomic_t* stop, summary_result* result) {
    s->in_fd = openat(dir_fd, data_name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (s->in_fd < 0) return fail(result, "open", errno);
    struct stat original {};
    if (fstat(s->in_fd, &original) != 0) return fail(result, "open", errno);
    posix_fadvise(s->in_fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    // The rate, sensitivity and clock as the inspector takes them.
    provenance prov{};
    const int prov_fd = openat(dir_fd, (stem + provenance_suffix).c_str(),
                               O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (prov_fd >= 0) {
        provenance_read(prov_fd, &prov);
        close(prov_fd);
    }
    inspect_config config = default_inspect_config();
    if (prov.have_settings)
        set_run_settings(&config, prov.sample_rate_hz, prov.sensitivity_mv_per_g, true);
    line_writer w{clock_of(prov), 0, 0, 0};

    s->result = static_cast<inspect_result*>(std::calloc(1, sizeof(inspect_result)));
    if (!s->result) return fail(result, "summarize", ENOMEM);
    int error = row_pass_init(&s->pass, config, s->result);
    if (error != 0) return fail(result, "summarize", error);
    s->pass_ready = true;
    error = csv_reader_attach(&s->reader, s->in_fd, config.buffer_size);
    if (error != 0) return fail(result, "summarize", error);
    s->reader_open = true;
    s->reader.last_of_run = true;  // a power cut's tail is no fault
    s->packed = static_cast<unsigned char*>(std::malloc(packed_buffer_size));
    if (!s->packed) return fail(result, "summarize", ENOMEM);
    if (deflateInit2(&s->packer, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8,
                     Z_DEFAULT_STRATEGY) != Z_OK)
        return fail(result, "summarize", ENOMEM);
    s->packer_ready = true;

    // The same access as the recording.
    error = create_temporary(dir_fd, temp_name, original, &s->temp_fd);
    s->temp_named = s->temp_fd >= 0;
    if (error != 0) return fail(result, "write", error);
    error = pack(s, summary_format_line, std::strlen(summary_format_line), false);
    if (error == 0) error = pack(s, summary_header_line, std::strlen(summary_header_line), false);
    if (error != 0) return fail(result, "write", error);

    part_summary part{};
    part.path = data_name.c_str();
    csv_row row;
    read_status status = read_status::row;
    for (std::uint64_t n = 1; status == read_status::row; ++n) {
        if (n % rows_between_stop_checks == 0 && *stop) return fail(result, "summarize", EINTR);
        status = csv_reader_next(&s->reader, &row);
        if (status != read_status::row) break;
        const std::uint64_t gaps = s->result->stats.gaps;
        const std::uint64_t overlaps = s->result->stats.overlaps;
        row_pass_add(&s->pass, config, s->result, &part, row, s->reader.line);
        if (s->result->trend.intervals.count == 0) continue;
        // The step into the row that closed it belongs to the next interval.
        error = write_intervals(s, &w, gaps, overlaps);
        if (error != 0) return fail(result, "write", error);
    }
    result->read_fault = status == read_status::failed;
    trend_finish(&s->result->trend);
    error = write_intervals(s, &w, s->result->stats.gaps, s->result->stats.overlaps);
    if (error == 0) error = pack(s, nullptr, 0, true);
    if (error != 0) return fail(result, "write", error);
    result->intervals = w.intervals;
    if (fsync(s->temp_fd) != 0) return fail(result, "sync", errno);
    const char* step = nullptr;
    error = install_temporary(dir_fd, temp_name, final_name, stop, &s->temp_named, &step);
    return error != 0 ? fail(result, step, error) : 0;
}

}  // namespace

int summary_highest_velocity(int dir_fd, const std::string& name, double* highest) {
    *highest = std::nan("");
    const int fd = openat(dir_fd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return errno;
    gzFile packed = gzdopen(fd, "rb");
    if (!packed) {
        close(fd);
        return ENOMEM;
    }
    char line[512];
    std::uint64_t lines = 0;
    double most = 0.0;
    int error = 0;
    while (error == 0 && gzgets(packed, line, sizeof line)) {
        ++lines;
        if (lines == 1 && parse_summary_version(line) != summary_version) error = EBADMSG;
        if (lines <= 2) continue;  // the format and the header
        summary_line figures{};
        if (!parse_summary_line(line, &figures)) error = EBADMSG;
        most = std::fmax(most, figures.velocity_rms_mm_s);  // an empty one, NaN, is passed over
    }
    int status = Z_OK;
    gzerror(packed, &status);
    if (error == 0 && (status != Z_OK || lines < 2)) error = EBADMSG;
    gzclose(packed);
    if (error == 0) *highest = most;
    return error;
}

int write_summary(int dir_fd, const std::string& stem, const std::string& data_name,
                  const volatile std::sig_atomic_t* stop, summary_result* result) {
    *result = summary_result{0, false, nullptr};
    char name[256];
    if (!format_summary_name(stem.c_str(), name, sizeof name))
        return fail(result, "open", ENAMETOOLONG);
    const std::string final_name = name;
    const std::string temp_name = temporary_prefix + final_name + summary_temporary_suffix;
    summarizing s;
    const int error =
        summary_steps(&s, dir_fd, stem, data_name, temp_name, final_name, stop, result);
    release(&s, dir_fd, temp_name);
    return error;
}
