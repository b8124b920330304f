#include "inspect_run.h"

#include "row_feed.h"
#include "run_settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// Whether a row counts under --from and --to: by its own time, or for a
// row without one, by the time of the row before it.
bool in_window(const inspect_config& config, bool have_time, double time_s) {
    if (!config.have_from && !config.have_to) return true;
    if (!have_time) return false;
    if (config.have_from && time_s < config.from_s) return false;
    if (config.have_to && !(time_s < config.to_s)) return false;
    return true;
}

// The files to read: `count` paths, or one descriptor when `paths` is null.
struct run_input {
    const char* const* paths;
    std::size_t count;
    int fd;
};

int open_part(const run_input& input, std::size_t part, const inspect_config& config,
              csv_reader* reader) {
    if (!input.paths) return csv_reader_attach(reader, input.fd, config.buffer_size);
    return csv_reader_open(reader, input.paths[part], config.buffer_size);
}

bool run(const run_input& input, const inspect_config& config, inspect_result* result) {
    row_pass pass;
    int error = row_pass_init(&pass, config, result);
    if (error != 0) {
        result->resource_error = error;
        return false;
    }
    row_feed* feed = static_cast<row_feed*>(std::malloc(sizeof(row_feed)));
    result->parts = static_cast<part_summary*>(std::calloc(input.count, sizeof(part_summary)));
    if (!feed || !result->parts) {
        result->resource_error = ENOMEM;
        std::free(feed);
        row_pass_free(&pass);
        return false;
    }
    for (std::size_t p = 0; p < input.count; ++p) {
        part_summary& part = result->parts[p];
        part.path = input.paths ? input.paths[p] : nullptr;
        result->part_count = p + 1;
        result->failed_part = p;
        csv_reader reader;
        error = open_part(input, p, config, &reader);
        if (error != 0) {
            (input.paths ? result->open_error : result->resource_error) = error;
            break;
        }
        result->stats.part = static_cast<std::uint32_t>(p);
        result->stats.joining = p > 0;
        reader.last_of_run = p + 1 == input.count;
        row_feed_start(feed, &reader);
        for (bool last = false; !last;) {
            const row_block* block = row_feed_next(feed);
            last = block->last;
            for (std::size_t i = 0; i < block->count; ++i)
                row_pass_add(&pass, config, result, &part, block->rows[i], block->first_line + i);
            row_feed_release(feed);
        }
        row_feed_finish(feed);
        part.rows = reader.rows;
        part.bytes = reader.bytes;
        part.stored_bytes = byte_source_stored(&reader.source);
        part.compressed = reader.source.kind != source_kind::plain;
        result->bytes += reader.bytes;
        result->stored_bytes += part.stored_bytes;
        result->compressed = result->compressed || part.compressed;
        const bool failed = reader.failure.fault != read_fault::none;
        if (failed) {
            result->failure = reader.failure;
            result->rows_before_failure = reader.rows;
        }
        part.valid = !failed;
        part.tail = reader.tail;
        result->tail = reader.tail;
        csv_reader_close(&reader);
        if (failed) break;
    }
    std::free(feed);
    if (result->open_error != 0 || result->resource_error != 0 ||
        result->failure.fault != read_fault::none) {
        row_pass_free(&pass);
        return false;
    }
    trend_finish(&result->trend);
    result->levels = level_figures_of(result->stats);

    result->spectrum_error = welch_finish(&pass.welch, config.rate_hz, &result->spectrum);
    row_pass_free(&pass);
    if (result->spectrum_error == ENOMEM) {
        result->resource_error = ENOMEM;
        return false;
    }
    if (result->spectrum_error == 0) {
        result->noise_floor = noise_floor(result->spectrum);
        result->peak_threshold = peak_over_floor * result->noise_floor;
        result->peak_count =
            find_peaks(result->spectrum, result->peak_threshold, result->peaks, config.peaks);
        compute_band_levels(result->spectrum, config.band_low_hz, config.band_high_hz,
                            &result->bands);
    }
    return true;
}

}  // namespace

int row_pass_init(row_pass* pass, const inspect_config& config, inspect_result* result) {
    *pass = row_pass{};
    welch_state& welch = pass->welch;
    int error = welch_init(&welch, config.segment_size);
    if (error == 0)
        error = trend_init(&result->trend, config.trend_interval_s, welch.size / 2 + 1,
                           config.rate_hz / static_cast<double>(welch.size));
    if (error != 0) {
        welch_free(&welch);
        return error;
    }
    const double density_scale = welch_density_scale(welch, config.rate_hz);
    trend_set_band(&result->trend, config.band_low_hz, config.band_high_hz, density_scale);
    stats_init(&result->stats, config.rate_hz, config.sensitivity_v_per_g, config.threshold_s);
    envelope_init(&result->env);
    spectrogram_init(&result->spectro, welch.size / 2 + 1,
                     config.rate_hz / static_cast<double>(welch.size), density_scale);
    pass->segment_span_s = static_cast<double>(welch.size - 1) / config.rate_hz;
    return 0;
}

void row_pass_add(row_pass* pass, const inspect_config& config, inspect_result* result,
                  part_summary* part, const csv_row& row, std::uint64_t line) {
    welch_state* welch = &pass->welch;
    if (std::isfinite(row.time_s)) {
        pass->have_time = true;
        pass->time_s = row.time_s;
        if (!part->have_time) part->first_time_s = row.time_s;
        part->have_time = true;
        part->last_time_s = row.time_s;
    }
    const double time_s = pass->time_s;
    if (!in_window(config, pass->have_time, time_s)) return;
    step_kind kind = stats_add(&result->stats, row, line);
    // Samples may be missing across a gap; an overlap only shows that a
    // block's time stamp came early, the samples themselves run on. A block
    // read before a stall returns late and carries the gap in its time stamp
    // while the samples are lost after it, so segments also start afresh one
    // block later.
    if (pass->rows_to_second_break > 0 && --pass->rows_to_second_break == 0) welch_break(welch);
    if (kind == step_kind::gap) {
        welch_break(welch);
        pass->rows_to_second_break = config.block_rows;
    }
    const bool finite_g = std::isfinite(row.accel_g);
    if (finite_g) {
        pass->held_g = row.accel_g;
        if (pass->have_time) trend_add(&result->trend, time_s, row.accel_g);
    }
    if (welch_add(welch, pass->held_g)) {
        trend_add_segment(&result->trend, welch->segment_power);
        spectrogram_add(&result->spectro, welch->segment_power, time_s - pass->segment_span_s,
                        time_s);
    }
    if (std::isfinite(row.time_s) && finite_g) envelope_add(&result->env, row.time_s, row.accel_g);
}

void row_pass_free(row_pass* pass) { welch_free(&pass->welch); }

inspect_config default_inspect_config() {
    const run_settings& s = compiled_run_settings;
    inspect_config config{};
    config.rate_hz = s.sample_rate_hz;
    config.sensitivity_v_per_g = s.sensitivity_mv_per_g / 1000.0;
    config.threshold_s = 0.5 * s.chunk_points / s.sample_rate_hz;
    config.block_rows = s.chunk_points;
    config.segment_size = default_segment_size;
    config.buffer_size = csv_reader_default_buffer;
    config.band_low_hz = 10.0;
    config.band_high_hz = 1000.0;
    config.trend_interval_s = 1.0;
    config.peaks = default_reported_peaks;
    return config;
}

bool inspect_file(const char* path, const inspect_config& config, inspect_result* result) {
    return inspect_files(&path, 1, config, result);
}

bool inspect_files(const char* const* paths, std::size_t count, const inspect_config& config,
                   inspect_result* result) {
    *result = inspect_result{};
    return run(run_input{paths, count, -1}, config, result);
}

bool inspect_fd(int fd, const inspect_config& config, inspect_result* result) {
    *result = inspect_result{};
    return run(run_input{nullptr, 1, fd}, config, result);
}

void inspect_result_free(inspect_result* result) {
    trend_free(&result->trend);
    spectrum_free(&result->spectrum);
    std::free(result->parts);
    result->parts = nullptr;
}
