#include "recorder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include "acts2200.h"
#include "console_clock.h"
#include "data_file.h"
#include "provenance.h"
#include "storage_sync.h"

namespace {

enum run_status {
    status_ok = 0,
    status_device = -1,  // local time unavailable, or the device did not open
    status_task_rejected = -2,
    status_task_not_started = -3,
    status_file_not_opened = -4,
    status_no_memory = -5,
    status_write_failed = -6,
};

constexpr double read_timeout_s = 2.0;

// Everything the run acquires, each with its "not acquired" value, so that
// one teardown releases exactly what is held.
struct run_state {
    char csv_path[csv_path_size];
    dev_handle device;
    ai_param param;  // must outlive the device: the library may keep its address
    bool task_configured;
    bool task_running;
    std::FILE* stream;
    off_t file_good_size;  // bytes known to be stored whole
    storage_sync sync;     // forces the files to storage; started after the first exists
    int provenance_fd;     // a provenance file written, until the storage thread takes it
    run_provenance provenance;
    std::FILE* next_stream;    // a file begun, until it takes the place of `stream`
    std::time_t file_start;    // when the run's first file started
    std::uint32_t file_count;  // files of the run so far
    char first_path[csv_path_size];
    double* block_buf;
    char* row_text;  // the block's rows as text, row_text_size bytes
    std::uint64_t total_points;
};

volatile std::sig_atomic_t stop_requested = 0;

constexpr int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};

extern "C" void on_stop_signal(int sig) {
    stop_requested = 1;
    // A terminal's hang-up comes more than once (the shell passes it on, the
    // kernel sends it again when the session leader exits): it never cuts
    // the orderly stop short.
    if (sig == SIGHUP) return;
    // A second SIGINT or SIGTERM, an operator who insists, must end the
    // process by its default action, even while a read is stuck. Only the
    // signals handled here are reset: an ignored one stays ignored.
    // sigaction is async-signal-safe.
    struct sigaction default_action {};
    default_action.sa_handler = SIG_DFL;
    for (int insistent : {SIGINT, SIGTERM}) {
        struct sigaction current {};
        if (sigaction(insistent, nullptr, &current) == 0 && current.sa_handler == on_stop_signal)
            sigaction(insistent, &default_action, nullptr);
    }
}

void install_stop_handlers() {
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    for (int sig : stop_signals) sigaddset(&action.sa_mask, sig);
    action.sa_flags = SA_RESTART;
    for (int sig : stop_signals) {
        // A stop signal ignored at start stays ignored: nohup must keep the
        // recorder through a hang-up, a script's background job through ^C.
        struct sigaction inherited {};
        if (sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
        sigaction(sig, &action, nullptr);
    }
    // A vanished reader of stdout or a file-size limit must not kill the
    // recorder before its teardown; the failed write is reported instead.
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGXFSZ, SIG_IGN);
}

// Opens /dev/null on each of descriptors 0, 1 and 2 that was closed at start,
// so that nothing opened later, the data file above all, can take its place
// and receive the console's text.
void open_missing_standard_descriptors() {
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() takes the lowest free descriptor: this one, as the lower ones are open.
        const int opened = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
        if (opened > fd) close(opened);
    }
}

void fill_ai_param(ai_param* param, const run_settings& settings) {
    // Every word and reserved byte not set here is 0.
    std::memset(param, 0, sizeof *param);
    param->word_0 = 1;
    param->ai_option = settings.ai_option;
    param->word_784 = 3;
    param->word_788 = 4096;
    param->sample_rate_hz = settings.sample_rate_hz;
}

void report_write_error(const char* path, int error) {
    std::printf("Write error on %s: %s\n", path, std::strerror(error));
}

// A failed write reported, and the file cut back to its last whole row.
// Returns status_write_failed.
int cut_back_after(const char* path, int error, std::FILE* stream, off_t good_size) {
    report_write_error(path, error);
    cut_back_data_file(stream, good_size);
    return status_write_failed;
}

// The device library as the loader found it, from its own copy of a
// function; nullptr when that cannot be told.
const char* loaded_device_library() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&ACTS2200_DEV_Create), &info) == 0 || !info.dli_fname ||
        info.dli_fname[0] == '\0')
        return nullptr;
    return info.dli_fname;
}

// Not an exit status: a file not handed over, as the storage thread had
// failed; the loop ends at once and reports that failure.
constexpr int status_storage_failed = 1;

// Starts the run's next data file, named after `local`: created exclusively
// under its lock, its header, its provenance, then handed to the storage
// thread, which the first file starts, with the file before it. It becomes
// run.stream. Reports a failure; returns status_ok, the failure's status or
// status_storage_failed.
int start_data_file(run_state& run, const run_settings& settings, const std::tm& local) {
    char path[csv_path_size];
    format_csv_path(path, sizeof path, settings.out_dir, local);
    int error = create_data_file(path, sizeof path, &run.next_stream);
    if (error != 0) {
        run.next_stream = nullptr;
        if (run.file_count > 0) {
            report_write_error(path, error);
            return status_write_failed;
        }
        std::printf("Cannot open %s\n", path);
        return status_file_not_opened;
    }
    error = write_header(run.next_stream);
    if (error != 0) return cut_back_after(path, error, run.next_stream, 0);
    if (run.file_count == 0 && start_storage_sync(&run.sync, path, settings.sync_interval_s) != 0) {
        std::puts("No memory");
        return status_no_memory;
    }
    char sidecar[provenance_path_size];
    error = provenance_path(path, sidecar, sizeof sidecar)
                ? write_provenance(sidecar, run.provenance, run.file_count + 1,
                                   run.stream ? run.csv_path : nullptr, read_clock_state(),
                                   &run.provenance_fd)
                : ENAMETOOLONG;
    if (error != 0) {
        run.provenance_fd = -1;
        report_write_error(sidecar, error);
        return status_write_failed;
    }
    if (start_storage_file(&run.sync, run.stream, fileno(run.next_stream), run.provenance_fd, path,
                           static_cast<off_t>(data_file_header_size)) != 0)
        return status_storage_failed;
    run.provenance_fd = -1;
    run.stream = run.next_stream;
    run.next_stream = nullptr;
    std::memcpy(run.csv_path, path, sizeof path);
    if (run.file_count++ == 0) std::memcpy(run.first_path, path, sizeof path);
    run.file_good_size = static_cast<off_t>(data_file_header_size);
    return status_ok;
}

// The recording loop: poll, read a block, write its rows, until a key or a
// stop signal. Returns status_ok or status_write_failed.
int record(run_state& run, const run_settings& settings, double sensitivity_v_per_g) {
    int status = status_ok;
    const double t_start = run.provenance.start_s;
    bool file_whole = true;  // no write to the file being written has failed
    std::time_t next_switch = next_file_start(run.file_start, settings.file_span_s);
    // A failed sync ends the loop like a failed write; reported after it.
    while (status == status_ok && !stop_requested && !kbhit() &&
           storage_sync_error(&run.sync) == 0) {
        // A count beyond what the device filled must show as NaN, never as
        // the previous block's samples or as uninitialised memory.
        std::fill_n(run.block_buf, settings.chunk_points, std::numeric_limits<double>::quiet_NaN());
        std::uint32_t read_count = 0;
        if (ACTS2200_AI_ReadAnalog(run.device, run.block_buf, settings.chunk_points, &read_count, 0,
                                   read_timeout_s) == 0) {
            std::puts("Read timeout/error");
            continue;
        }
        double t_block = now_sec();
        // A block is never split: the whole of it goes into the new file.
        if (next_switch != -1 && t_block >= static_cast<double>(next_switch) &&
            storage_ready_for_file(&run.sync)) {
            // Named after the local time of the block that reached the boundary;
            // the loop never waits for storage here.
            const auto now = static_cast<std::time_t>(std::floor(t_block));
            std::tm local{};
            int started = status_write_failed;
            if (localtime_r(&now, &local))
                started = start_data_file(run, settings, local);
            else
                report_write_error(settings.out_dir, EOVERFLOW);
            if (started != status_storage_failed) status = started;
            if (started != status_ok) break;
            std::printf("Output file: %s\n", run.csv_path);
            // From the new file's own start: a clock stepped back switches no
            // sooner than the boundary, one stepped far ahead switches once.
            next_switch = next_file_start(now, settings.file_span_s);
        }
        double rel = t_block - t_start;
        double dt = 1.0 / settings.sample_rate_hz;
        // Never trust a count beyond the buffer the library was given.
        std::uint32_t rows = std::min(read_count, settings.chunk_points);
        std::uint64_t bytes = 0;
        int error = write_block(run.stream, run.row_text, run.block_buf, rows, rel, dt,
                                sensitivity_v_per_g, &bytes);
        if (error != 0) {
            status = cut_back_after(run.csv_path, error, run.stream, run.file_good_size);
            file_whole = false;
            break;
        }
        run.file_good_size += static_cast<off_t>(bytes);
        run.total_points += rows;
        note_written(&run.sync, run.file_good_size, run.total_points);
    }
    double elapsed = now_sec() - t_start;

    // Joined first, so that a sync that failed at the end is not missed.
    const storage_result stored = stop_storage_sync(&run.sync);
    if (status == status_ok && stored.error != 0) {
        // What the failed sync should have covered may not be on storage:
        // keep only what the last good ones did.
        run.file_good_size = stored.stored_size;
        run.total_points = stored.stored_points;
        status = cut_back_after(stored.failed_path, stored.error, run.stream, run.file_good_size);
    }

    // After a file that could not be started the last one is still whole:
    // stored like any other, a second failure left unreported.
    if (stored.error == 0 && file_whole) {
        int error = sync_data_file(run.stream);
        if (error != 0 && status == status_ok)
            status = cut_back_after(run.csv_path, error, run.stream, run.file_good_size);
    }

    std::printf("\nStopping...\n");
    std::printf("Total points: %llu\n", static_cast<unsigned long long>(run.total_points));
    std::printf("Total time: %.3f seconds\n", elapsed);
    double rate = elapsed > 0.0 ? static_cast<double>(run.total_points) / elapsed : 0.0;
    std::printf("Approx. effective rate: %.1f Hz\n", rate);
    return status;
}

// Acquires everything in order and records. Returns at the first failure,
// leaving in `run` exactly what is held.
int acquire_and_record(run_state& run, const run_settings& settings, const char* version,
                       bool simulator) {
    std::time_t now = std::time(nullptr);
    std::tm* local = std::localtime(&now);
    if (!local) {
        std::perror("localtime");
        return status_device;
    }
    const std::tm local_time = *local;
    init_run_provenance(&run.provenance, &settings, version, loaded_device_library(), simulator);

    std::puts("Opening device...");
    run.device = ACTS2200_DEV_Create(0);
    if (run.device == no_device) {
        std::puts("Open device failed");
        return status_device;
    }

    fill_ai_param(&run.param, settings);
    if (ACTS2200_AI_InitTask(run.device, &run.param) == 0) {
        std::puts("AI_InitTask failed");
        return status_task_rejected;
    }
    run.task_configured = true;

    if (ACTS2200_AI_StartTask(run.device) == 0) {
        std::puts("AI_StartTask failed");
        return status_task_not_started;
    }
    run.task_running = true;

    run.file_start = now;
    // The run's time 0, which the first file's provenance dates.
    run.provenance.start_s = now_sec();
    // A storage thread that failed at once ends the loop before its first block.
    int status = start_data_file(run, settings, local_time);
    if (status != status_ok && status != status_storage_failed) return status;

    double sensitivity_v_per_g = settings.sensitivity_mv_per_g / 1000.0;

    run.block_buf = static_cast<double*>(
        std::malloc(static_cast<std::uint64_t>(settings.chunk_points) * sizeof(double)));
    if (run.block_buf) run.row_text = static_cast<char*>(std::malloc(row_text_size));
    if (!run.block_buf || !run.row_text) {
        std::puts("No memory");
        return status_no_memory;
    }

    std::puts("Start continuous acquisition...");
    std::printf("Output file: %s\n", run.csv_path);
    std::printf("Sampling rate = %.1f Hz, chunk = %u points\n", settings.sample_rate_hz,
                settings.chunk_points);
    std::puts("Press any key to stop.");

    return record(run, settings, sensitivity_v_per_g);
}

// Releases what is held, in the one fixed order: sync thread, provenance,
// file begun but not started, file, buffer, task, device. A failed close
// of the data file turns a clean run into a write failure.
int release_run(run_state& run, int status) {
    // Any failure of these has been reported by now, or comes after another.
    stop_storage_sync(&run.sync);
    if (run.provenance_fd >= 0) close(run.provenance_fd);
    run.provenance_fd = -1;
    if (run.next_stream) close_data_file(run.next_stream);
    run.next_stream = nullptr;
    if (run.stream) {
        int error = close_data_file(run.stream);
        run.stream = nullptr;
        if (error != 0 && status == status_ok) {
            report_write_error(run.csv_path, error);
            status = status_write_failed;
        }
    }
    std::free(run.row_text);
    run.row_text = nullptr;
    std::free(run.block_buf);
    run.block_buf = nullptr;
    if (run.task_running) ACTS2200_AI_StopTask(run.device);
    run.task_running = false;
    if (run.task_configured) ACTS2200_AI_ReleaseTask(run.device);
    run.task_configured = false;
    if (run.device != no_device) ACTS2200_DEV_Release(run.device);
    run.device = no_device;
    return status;
}

}  // namespace

int run_recorder(const run_settings& settings, const char* version, bool simulator) {
    open_missing_standard_descriptors();
    // Progress and failures show up at once in a log or a pipe, too.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    install_stop_handlers();

    run_state run{};
    run.device = no_device;
    run.provenance_fd = -1;

    int status = acquire_and_record(run, settings, version, simulator);
    status = release_run(run, status);
    if (status == status_ok) {
        if (settings.file_span_s == 0)
            std::printf("Done. Data saved to %s\n", run.csv_path);
        else if (run.file_count == 1)
            std::printf("Done. Data saved to %s (1 file)\n", run.csv_path);
        else
            std::printf("Done. Data saved to %s through %s (%u files)\n", run.first_path,
                        run.csv_path, run.file_count);
    }
    return status;
}
