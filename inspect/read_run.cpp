#include "read_run.h"

#include "row_feed.h"

#include <cerrno>
#include <cstdlib>

namespace {

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
        part.bytes = csv_reader_bytes(&reader);
        part.stored_bytes = byte_source_stored(&reader.source);
        part.compressed = reader.source.kind != source_kind::plain;
        part.compact = reader.source.kind == source_kind::compact;
        result->bytes += part.bytes;
        result->stored_bytes += part.stored_bytes;
        result->compressed = result->compressed || part.compressed;
        result->compact = result->compact || part.compact;
        result->rows_as_numbers += reader.rows_as_numbers;
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
    const bool finished = result->open_error == 0 && result->resource_error == 0 &&
                          result->failure.fault == read_fault::none &&
                          row_pass_finish(&pass, config, result);
    row_pass_free(&pass);
    return finished;
}

}  // namespace

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
