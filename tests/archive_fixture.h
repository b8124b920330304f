// What the archiver's tests share: recordings written as the recorder
// writes them, the real acc_archive run on a directory, and compressed
// files read back with the library.
#ifndef ACC_TESTS_ARCHIVE_FIXTURE_H
#define ACC_TESTS_ARCHIVE_FIXTURE_H

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>
#include <zlib.h>
#include <zstd.h>

#include "data_text.h"
#include "program_runner.h"

// The header and `rows` rows of a noisy 50 Hz signal in blocks of 1000.
inline std::string recording_text(int rows, std::uint32_t seed) {
    return timed_rows_text(
        rows, [](int n) { return 0.1 * std::floor(n / 1000.0 + 1) + 1e-4 * (n % 1000); },
        [&seed](int n) {
            seed = seed * 1664525u + 1013904223u;
            const double noise = static_cast<double>(seed >> 8) / 16777216.0 - 0.5;
            return 0.5 + 0.25 * std::sin(0.0314159 * n) + 0.004 * noise;
        });
}

// The whole content a compressed file decompresses to; "<corrupt>" when it
// is not a run of complete frames of at most compressed_frame_content bytes,
// each telling its size, as the archiver writes.
inline std::string decompressed(const std::string& packed) {
    ZSTD_DCtx* unpacker = ZSTD_createDCtx();
    std::string plain;
    std::vector<char> out(compressed_frame_content);
    for (std::size_t at = 0; at < packed.size();) {
        const std::size_t frame = ZSTD_findFrameCompressedSize(&packed[at], packed.size() - at);
        const unsigned long long content =
            ZSTD_getFrameContentSize(&packed[at], packed.size() - at);
        const std::size_t got =
            ZSTD_isError(frame) || content > out.size()
                ? frame
                : ZSTD_decompressDCtx(unpacker, out.data(), out.size(), &packed[at], frame);
        if (ZSTD_isError(frame) || content > out.size() || got != content) {
            plain = "<corrupt>";
            break;
        }
        plain.append(out.data(), got);
        at += frame;
    }
    ZSTD_freeDCtx(unpacker);
    return plain;
}

// The text a gzip file holds; "<corrupt>" when it is cut short or damaged.
inline std::string gunzipped(const std::string& path) {
    gzFile gz = gzopen(path.c_str(), "rb");
    if (!gz) return "<corrupt>";
    std::string text;
    char buffer[4096];
    for (int n = 0; (n = gzread(gz, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(n));
    int status = Z_OK;
    gzerror(gz, &status);
    gzclose(gz);
    return status == Z_OK ? text : "<corrupt>";
}

inline program_options archiver(std::vector<std::string> args, std::vector<std::string> env = {}) {
    return {ARCHIVE_PATH, std::move(args), {}, std::move(env)};
}

// What `acc_archive --restore` writes for an archived file, or "<failed: "
// and its message.
inline std::string restored(const std::string& path) {
    program_result run = run_program(archiver({"--restore", path}));
    return run.exit_status == 0 ? run.out : "<failed: " + run.err + ">";
}

#endif
