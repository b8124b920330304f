#include "inspect_run.h"

#include "run_settings.h"

#include <cerrno>
#include <cmath>

namespace {

bool run(csv_reader* reader, const inspect_config& config, inspect_result* result) {
    welch_state welch;
    int error = welch_init(&welch, config.segment_size);
    if (error != 0) {
        result->resource_error = error;
        return false;
    }
    stats_init(&result->stats, config.rate_hz, config.sensitivity_v_per_g, config.threshold_s);
    envelope_init(&result->env);

    csv_row row;
    read_status status;
    double held_g = 0.0;  // stands in for a value that is not finite
    std::uint64_t rows_to_second_break = 0;
    while ((status = csv_reader_next(reader, &row)) == read_status::row) {
        step_kind kind = stats_add(&result->stats, row, reader->line);
        // Samples may be missing across a gap; an overlap only shows that a
        // block's time stamp came early, the samples themselves run on.
        // A block read before a stall returns late and carries the gap in
        // its time stamp while the samples are lost after it, so segments
        // also start afresh one block later.
        if (rows_to_second_break > 0 && --rows_to_second_break == 0) welch_break(&welch);
        if (kind == step_kind::gap) {
            welch_break(&welch);
            rows_to_second_break = config.block_rows;
        }
        if (std::isfinite(row.accel_g)) held_g = row.accel_g;
        welch_add(&welch, held_g);
        if (std::isfinite(row.time_s) && std::isfinite(row.accel_g))
            envelope_add(&result->env, row.time_s, row.accel_g);
    }
    result->bytes = reader->bytes;
    if (status == read_status::failed) {
        result->failure = reader->failure;
        result->rows_before_failure = reader->rows;
        welch_free(&welch);
        return false;
    }

    result->spectrum_error = welch_finish(&welch, config.rate_hz, &result->spectrum);
    welch_free(&welch);
    if (result->spectrum_error == ENOMEM) {
        result->resource_error = ENOMEM;
        return false;
    }
    if (result->spectrum_error == 0) {
        result->noise_floor = noise_floor(result->spectrum);
        result->peak_count = find_peaks(result->spectrum, peak_over_floor * result->noise_floor,
                                        result->peaks, reported_peaks);
    }
    return true;
}

}  // namespace

inspect_config default_inspect_config() {
    const run_settings& s = compiled_run_settings;
    inspect_config config{};
    config.rate_hz = s.sample_rate_hz;
    config.sensitivity_v_per_g = s.sensitivity_mv_per_g / 1000.0;
    config.threshold_s = 0.5 * s.chunk_points / s.sample_rate_hz;
    config.block_rows = s.chunk_points;
    config.segment_size = default_segment_size;
    config.buffer_size = csv_reader_default_buffer;
    return config;
}

bool inspect_file(const char* path, const inspect_config& config, inspect_result* result) {
    *result = inspect_result{};
    csv_reader reader;
    int error = csv_reader_open(&reader, path, config.buffer_size);
    if (error != 0) {
        result->open_error = error;
        return false;
    }
    bool valid = run(&reader, config, result);
    csv_reader_close(&reader);
    return valid;
}

bool inspect_fd(int fd, const inspect_config& config, inspect_result* result) {
    *result = inspect_result{};
    csv_reader reader;
    int error = csv_reader_attach(&reader, fd, config.buffer_size);
    if (error != 0) {
        result->resource_error = error;
        return false;
    }
    bool valid = run(&reader, config, result);
    csv_reader_close(&reader);
    return valid;
}

void inspect_result_free(inspect_result* result) { spectrum_free(&result->spectrum); }
