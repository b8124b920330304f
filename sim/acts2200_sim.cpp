// The simulated device behind the device library's seven functions.
//
// It behaves like the hardware the recorder talks to: one device, a strict
// order of calls, a sample clock that runs in real time, a finite buffer that
// overruns when the reader falls behind, and faults that the ACTS2200_SIM_*
// environment variables switch on. It never writes to stdout or stderr; what
// it did goes, one line per call, to the file named by ACTS2200_SIM_LOG.

#include "acts2200.h"
#include "file_io.h"
#include "sim_signal.h"

#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include <fcntl.h>
#include <locale.h>
#include <time.h>
#include <unistd.h>

extern char** environ;

#define SIM_EXPORT __attribute__((visibility("default")))

namespace {

// High bits set, so that a caller that cuts the handle to 32 bits is caught.
constexpr dev_handle sim_handle = static_cast<dev_handle>(0x7f22a0c01000);

constexpr double max_sample_rate_hz = 1000000.0;
constexpr std::int64_t ns_per_s = 1000000000;
// Far beyond any run, yet safe to add to a clock reading.
constexpr double max_offset_ns = 4.0e18;

enum class sim_state { closed, open, configured, running, stopped };

struct read_range {
    std::uint64_t first;
    std::uint64_t last;
};

struct short_read {
    std::uint64_t read;
    std::uint32_t count;
};

struct sim_switches {
    bool fail_create = false;
    bool fail_init = false;
    bool fail_start = false;
    std::vector<read_range> fail_reads;
    bool set_failed_read_count = false;
    std::uint32_t failed_read_count = 0;
    std::vector<short_read> short_reads;
    std::uint32_t over_report = 0;
    std::vector<double> values;
    bool unpaced = false;
};

struct sim_device {
    std::mutex lock;
    sim_state state = sim_state::closed;
    sim_switches switches;
    int log_fd = -1;
    bool log_opened = false;  // opening was tried since the last close
    double sample_rate_hz = 0.0;
    std::int64_t t0_ns = 0;      // sample k is ready at t0 + (k + 1) / rate
    std::uint64_t position = 0;  // absolute index of the next sample to deliver
    std::uint64_t reads = 0;     // reads that reached the device since DEV_Create
};

sim_device sim;

const char* const switch_names[] = {
    "ACTS2200_SIM_FAIL",        "ACTS2200_SIM_FAIL_READS",  "ACTS2200_SIM_FAILED_READ_COUNT",
    "ACTS2200_SIM_SHORT_READS", "ACTS2200_SIM_OVER_REPORT", "ACTS2200_SIM_VALUES",
    "ACTS2200_SIM_UNPACED",     "ACTS2200_SIM_LOG",
};
constexpr char switch_prefix[] = "ACTS2200_SIM_";

// ---------------------------------------------------------------- the log

// Big enough for the parameter block in hex plus everything around it.
struct log_line {
    char text[4096];
    std::size_t size;
};

__attribute__((format(printf, 2, 3))) void append(log_line* line, const char* format, ...) {
    const std::size_t room = sizeof line->text - line->size;
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line->text + line->size, room, format, args);
    va_end(args);
    if (n > 0)
        line->size += static_cast<std::size_t>(n) < room ? static_cast<std::size_t>(n) : room - 1;
}

void append_hex(log_line* line, const void* data, std::size_t size) {
    static const char digits[] = "0123456789abcdef";
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size && line->size + 2 < sizeof line->text; ++i) {
        line->text[line->size++] = digits[bytes[i] >> 4];
        line->text[line->size++] = digits[bytes[i] & 15];
    }
    line->text[line->size] = '\0';
}

void open_log() {
    sim.log_opened = true;
    const char* path = std::getenv("ACTS2200_SIM_LOG");
    if (path == nullptr || *path == '\0') return;
    sim.log_fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
}

void close_log() {
    if (sim.log_fd >= 0) close(sim.log_fd);
    sim.log_fd = -1;
    sim.log_opened = false;
}

// One write(2) per line on an O_APPEND descriptor: a line is either there
// whole or not at all, even when the process is killed.
void write_line(log_line* line) {
    if (!sim.log_opened) open_log();
    if (sim.log_fd < 0) return;
    if (line->size >= sizeof line->text) line->size = sizeof line->text - 1;
    line->text[line->size++] = '\n';
    write_all(sim.log_fd, line->text, line->size);
}

std::int32_t fail_call(log_line* line, const char* reason) {
    append(line, " -> 0 error=%s", reason);
    write_line(line);
    return 0;
}

std::int32_t succeed_call(log_line* line) {
    append(line, " -> 1");
    write_line(line);
    return 1;
}

std::uintmax_t handle_bits(dev_handle handle) {
    return static_cast<std::uintmax_t>(static_cast<std::uintptr_t>(handle));
}

// -------------------------------------------------------------- switches

// The next comma-separated item of a list; false at the end.
bool next_item(const char** cursor, const char** begin, const char** end) {
    if (*cursor == nullptr) return false;
    *begin = *cursor;
    const char* comma = std::strchr(*cursor, ',');
    *end = comma != nullptr ? comma : *cursor + std::strlen(*cursor);
    *cursor = comma != nullptr ? comma + 1 : nullptr;
    return true;
}

bool item_is(const char* begin, const char* end, const char* word) {
    const std::size_t n = std::strlen(word);
    return static_cast<std::size_t>(end - begin) == n && std::strncmp(begin, word, n) == 0;
}

// Decimal digits only, no sign, no overflow.
bool parse_u64(const char* begin, const char* end, std::uint64_t* out) {
    if (begin == end) return false;
    std::uint64_t value = 0;
    for (const char* p = begin; p != end; ++p) {
        if (*p < '0' || *p > '9') return false;
        const std::uint64_t digit = static_cast<std::uint64_t>(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) return false;
        value = value * 10 + digit;
    }
    *out = value;
    return true;
}

bool parse_u32(const char* begin, const char* end, std::uint32_t* out) {
    std::uint64_t value = 0;
    if (!parse_u64(begin, end, &value) || value > UINT32_MAX) return false;
    *out = static_cast<std::uint32_t>(value);
    return true;
}

bool parse_fail(const char* text, sim_switches* sw) {
    bool create = false, init = false, start = false;
    const char* cursor = text;
    const char *begin, *end;
    while (next_item(&cursor, &begin, &end)) {
        bool* flag = item_is(begin, end, "create")  ? &create
                     : item_is(begin, end, "init")  ? &init
                     : item_is(begin, end, "start") ? &start
                                                    : nullptr;
        if (flag == nullptr) return false;
        *flag = true;
    }
    sw->fail_create = create;
    sw->fail_init = init;
    sw->fail_start = start;
    return true;
}

// "3", "2,5-7", "4-" (4 on) or "all"; reads are numbered from 1.
bool parse_read_ranges(const char* text, std::vector<read_range>* out) {
    std::vector<read_range> ranges;
    const char* cursor = text;
    const char *begin, *end;
    while (next_item(&cursor, &begin, &end)) {
        read_range range{};
        const char* dash = static_cast<const char*>(
            std::memchr(begin, '-', static_cast<std::size_t>(end - begin)));
        if (item_is(begin, end, "all")) {
            range = {1, UINT64_MAX};
        } else if (dash == nullptr) {
            if (!parse_u64(begin, end, &range.first)) return false;
            range.last = range.first;
        } else {
            if (!parse_u64(begin, dash, &range.first)) return false;
            if (dash + 1 == end)
                range.last = UINT64_MAX;
            else if (!parse_u64(dash + 1, end, &range.last))
                return false;
        }
        if (range.first == 0 || range.last < range.first) return false;
        ranges.push_back(range);
    }
    *out = ranges;
    return true;
}

// "<read>:<count>,..."
bool parse_short_reads(const char* text, std::vector<short_read>* out) {
    std::vector<short_read> reads;
    const char* cursor = text;
    const char *begin, *end;
    while (next_item(&cursor, &begin, &end)) {
        const char* colon = static_cast<const char*>(
            std::memchr(begin, ':', static_cast<std::size_t>(end - begin)));
        short_read entry{};
        if (colon == nullptr || !parse_u64(begin, colon, &entry.read) || entry.read == 0 ||
            !parse_u32(colon + 1, end, &entry.count)) {
            return false;
        }
        reads.push_back(entry);
    }
    *out = reads;
    return true;
}

// strtod in the C locale whatever the program set, so "0.5" is always a half
// and nan, inf, -0.0 and hex floats all come through.
bool parse_values(const char* text, std::vector<double>* out) {
    locale_t c_locale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    if (c_locale == static_cast<locale_t>(nullptr)) return false;
    std::vector<double> values;
    bool ok = true;
    const char* cursor = text;
    const char *begin, *end;
    while (ok && next_item(&cursor, &begin, &end)) {
        char* stop = nullptr;
        const double value = strtod_l(begin, &stop, c_locale);
        ok = stop != begin && stop == end;
        if (ok) values.push_back(value);
    }
    freelocale(c_locale);
    if (!ok || values.empty()) return false;
    *out = values;
    return true;
}

bool parse_switch_value(const char* name, const char* text, sim_switches* sw) {
    if (std::strcmp(name, "ACTS2200_SIM_FAIL") == 0) return parse_fail(text, sw);
    if (std::strcmp(name, "ACTS2200_SIM_FAIL_READS") == 0)
        return parse_read_ranges(text, &sw->fail_reads);
    if (std::strcmp(name, "ACTS2200_SIM_FAILED_READ_COUNT") == 0) {
        const bool ok = parse_u32(text, text + std::strlen(text), &sw->failed_read_count);
        sw->set_failed_read_count = ok;
        return ok;
    }
    if (std::strcmp(name, "ACTS2200_SIM_SHORT_READS") == 0)
        return parse_short_reads(text, &sw->short_reads);
    if (std::strcmp(name, "ACTS2200_SIM_OVER_REPORT") == 0)
        return parse_u32(text, text + std::strlen(text), &sw->over_report);
    if (std::strcmp(name, "ACTS2200_SIM_VALUES") == 0) return parse_values(text, &sw->values);
    if (std::strcmp(name, "ACTS2200_SIM_UNPACED") == 0) {
        if (std::strcmp(text, "1") != 0 && std::strcmp(text, "0") != 0) return false;
        sw->unpaced = text[0] == '1';
        return true;
    }
    return true;  // ACTS2200_SIM_LOG: any path
}

// Reads every switch afresh; a malformed one is left off and named in the
// line. A variable with the prefix but no known name is most likely a typo.
void load_switches(log_line* line) {
    sim.switches = sim_switches{};
    for (const char* name : switch_names) {
        const char* text = std::getenv(name);
        if (text == nullptr || *text == '\0') continue;
        if (!parse_switch_value(name, text, &sim.switches))
            append(line, " error=bad switch %s", name);
    }
    const std::size_t prefix_size = sizeof switch_prefix - 1;
    for (char** entry = environ; entry != nullptr && *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, switch_prefix, prefix_size) != 0) continue;
        const char* equals = std::strchr(*entry, '=');
        const std::size_t name_size =
            equals != nullptr ? static_cast<std::size_t>(equals - *entry) : std::strlen(*entry);
        bool known = false;
        for (const char* name : switch_names) {
            known = known ||
                    (std::strlen(name) == name_size && std::strncmp(name, *entry, name_size) == 0);
        }
        if (!known) append(line, " error=bad switch %.*s", static_cast<int>(name_size), *entry);
    }
}

bool read_in_ranges(const std::vector<read_range>& ranges, std::uint64_t read_number) {
    for (const read_range& range : ranges) {
        if (read_number >= range.first && read_number <= range.last) return true;
    }
    return false;
}

// ---------------------------------------------------------------- checks

// Null when the handle names the open device.
const char* device_error(dev_handle handle) {
    if (handle != sim_handle) return "bad handle";
    if (sim.state == sim_state::closed) return "device not open";
    return nullptr;
}

bool all_zero(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0) return false;
    }
    return true;
}

// Null when the device accepts the block; else the first field it refuses.
const char* param_error(const ai_param& p) {
    if (p.word_0 != 1) return "bad word_0";
    if (!all_zero(p.reserved_4, sizeof p.reserved_4)) return "bad reserved_4";
    if (p.ai_option != 0) return "bad ai_option";
    if (p.word_20 != 0) return "bad word_20";
    if (p.word_24 != 0) return "bad word_24";
    if (!all_zero(p.reserved_28, sizeof p.reserved_28)) return "bad reserved_28";
    if (p.word_784 != 3) return "bad word_784";
    if (p.word_788 != 4096) return "bad word_788";
    if (!std::isfinite(p.sample_rate_hz) || p.sample_rate_hz <= 0.0 ||
        p.sample_rate_hz > max_sample_rate_hz) {
        return "bad sample_rate_hz";
    }
    if (p.word_800 != 0) return "bad word_800";
    if (!all_zero(p.reserved_804, sizeof p.reserved_804)) return "bad reserved_804";
    if (p.word_808 != 0) return "bad word_808";
    if (!all_zero(p.reserved_812, sizeof p.reserved_812)) return "bad reserved_812";
    return nullptr;
}

// ------------------------------------------------------------ the clock

std::int64_t monotonic_ns() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * ns_per_s + now.tv_nsec;
}

// A signal must not cut the wait short.
void sleep_until_ns(std::int64_t deadline_ns) {
    timespec until{};
    until.tv_sec = static_cast<time_t>(deadline_ns / ns_per_s);
    until.tv_nsec = static_cast<long>(deadline_ns % ns_per_s);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
    }
}

// When the first `count` samples are all ready. Computed from the start and
// the absolute count, so pacing never drifts; rounded up so that no sample is
// handed out before it exists.
std::int64_t samples_due_ns(std::uint64_t count) {
    const double offset = std::ceil(static_cast<double>(count) * 1e9 / sim.sample_rate_hz);
    return sim.t0_ns + static_cast<std::int64_t>(offset < max_offset_ns ? offset : max_offset_ns);
}

std::uint64_t samples_ready_at(std::int64_t now_ns) {
    const double elapsed_ns = static_cast<double>(now_ns - sim.t0_ns);
    if (elapsed_ns <= 0.0) return 0;
    return static_cast<std::uint64_t>(std::floor(elapsed_ns * sim.sample_rate_hz / 1e9));
}

// One second of samples, and never less than one read.
std::uint64_t buffer_capacity(std::uint32_t requested) {
    const std::uint64_t one_second = static_cast<std::uint64_t>(std::ceil(sim.sample_rate_hz));
    return one_second > requested ? one_second : requested;
}

double sample_value(std::uint64_t index) {
    const std::vector<double>& values = sim.switches.values;
    if (values.empty()) return sim_sample_volts(index, sim.sample_rate_hz);
    return values[index % values.size()];
}

std::uint32_t read_count(std::uint64_t read_number, std::uint32_t requested) {
    std::uint32_t count = requested;
    for (const short_read& entry : sim.switches.short_reads) {
        if (entry.read == read_number && entry.count < count) count = entry.count;
    }
    return count;
}

}  // namespace

// ------------------------------------------------------ the seven calls

extern "C" {

SIM_EXPORT dev_handle ACTS2200_DEV_Create(std::int32_t device_index) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "DEV_Create index=%" PRId32, device_index);
    if (sim.state != sim_state::closed) {
        append(&line, " -> -1 error=device busy");
        write_line(&line);
        return no_device;
    }
    close_log();
    open_log();
    log_line errors{};
    load_switches(&errors);
    sim.reads = 0;
    const char* reason = nullptr;
    if (device_index != 0)
        reason = "no such device";
    else if (sim.switches.fail_create)
        reason = "injected failure";
    if (reason != nullptr) {
        append(&line, " -> -1%s error=%s", errors.text, reason);
        write_line(&line);
        close_log();
        return no_device;
    }
    sim.state = sim_state::open;
    append(&line, " -> 0x%jx%s", handle_bits(sim_handle), errors.text);
    write_line(&line);
    return sim_handle;
}

SIM_EXPORT std::int32_t ACTS2200_AI_InitTask(dev_handle handle, ai_param* param) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "AI_InitTask handle=0x%jx param=", handle_bits(handle));
    if (param == nullptr) {
        append(&line, "null");
    } else {
        append_hex(&line, param, sizeof(ai_param));
    }
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state == sim_state::running) return fail_call(&line, "task running");
    if (sim.switches.fail_init) return fail_call(&line, "injected failure");
    if (param == nullptr) return fail_call(&line, "null param");
    ai_param copy{};
    std::memcpy(&copy, param, sizeof copy);
    if (const char* error = param_error(copy)) return fail_call(&line, error);
    sim.sample_rate_hz = copy.sample_rate_hz;
    sim.state = sim_state::configured;
    return succeed_call(&line);
}

SIM_EXPORT std::int32_t ACTS2200_AI_StartTask(dev_handle handle) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "AI_StartTask handle=0x%jx", handle_bits(handle));
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state == sim_state::open) return fail_call(&line, "no task");
    if (sim.state == sim_state::running) return fail_call(&line, "task running");
    if (sim.switches.fail_start) return fail_call(&line, "injected failure");
    sim.t0_ns = monotonic_ns();
    sim.position = 0;
    sim.state = sim_state::running;
    return succeed_call(&line);
}

SIM_EXPORT std::int32_t ACTS2200_AI_ReadAnalog(dev_handle handle, double* dest,
                                               std::uint32_t requested, std::uint32_t* delivered,
                                               std::int32_t reserved, double timeout_s) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line,
           "AI_ReadAnalog handle=0x%jx requested=%" PRIu32 " reserved=%" PRId32 " timeout=%f",
           handle_bits(handle), requested, reserved, timeout_s);
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state != sim_state::running) return fail_call(&line, "task not started");
    if (dest == nullptr) return fail_call(&line, "null dest");
    if (delivered == nullptr) return fail_call(&line, "null delivered");
    if (requested == 0) return fail_call(&line, "bad requested");
    if (reserved != 0) return fail_call(&line, "bad reserved");
    if (!(timeout_s >= 0.0)) return fail_call(&line, "bad timeout");

    const sim_switches& sw = sim.switches;
    const std::uint64_t read_number = ++sim.reads;
    if (read_in_ranges(sw.fail_reads, read_number)) {
        if (sw.set_failed_read_count) {
            *delivered = sw.failed_read_count;
            append(&line, " -> 0 delivered=%" PRIu32 " error=injected failure",
                   sw.failed_read_count);
            write_line(&line);
            return 0;
        }
        return fail_call(&line, "injected failure");
    }

    const std::uint32_t count = read_count(read_number, requested);
    if (!sw.unpaced) {
        const std::int64_t now = monotonic_ns();
        const std::uint64_t ready = samples_ready_at(now);
        if (ready > sim.position && ready - sim.position > buffer_capacity(requested)) {
            // The device overwrote what the reader left waiting: all of it is
            // gone, and delivery resumes with the next new sample.
            const std::uint64_t lost = ready - sim.position;
            sim.position = ready;
            char reason[64];
            std::snprintf(reason, sizeof reason, "overrun lost=%" PRIu64, lost);
            return fail_call(&line, reason);
        }
        const std::int64_t due = samples_due_ns(sim.position + count);
        if (due > now) {
            if (static_cast<double>(due - now) > timeout_s * 1e9) {
                sleep_until_ns(now + static_cast<std::int64_t>(timeout_s * 1e9));
                return fail_call(&line, "timeout");
            }
            sleep_until_ns(due);
        }
    }

    const std::uint64_t first = sim.position;
    for (std::uint32_t i = 0; i < count; ++i) dest[i] = sample_value(first + i);
    sim.position += count;
    const std::uint64_t reported = static_cast<std::uint64_t>(count) + sw.over_report;
    *delivered = reported < UINT32_MAX ? static_cast<std::uint32_t>(reported) : UINT32_MAX;
    append(&line, " -> 1 delivered=%" PRIu32 " first=%" PRIu64, *delivered, first);
    write_line(&line);
    return 1;
}

SIM_EXPORT std::int32_t ACTS2200_AI_StopTask(dev_handle handle) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "AI_StopTask handle=0x%jx", handle_bits(handle));
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state != sim_state::running) return fail_call(&line, "task not started");
    sim.state = sim_state::stopped;
    return succeed_call(&line);
}

SIM_EXPORT std::int32_t ACTS2200_AI_ReleaseTask(dev_handle handle) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "AI_ReleaseTask handle=0x%jx", handle_bits(handle));
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state == sim_state::open) return fail_call(&line, "no task");
    if (sim.state == sim_state::running) return fail_call(&line, "task running");
    sim.state = sim_state::open;
    return succeed_call(&line);
}

SIM_EXPORT std::int32_t ACTS2200_DEV_Release(dev_handle handle) {
    std::lock_guard<std::mutex> guard(sim.lock);
    log_line line{};
    append(&line, "DEV_Release handle=0x%jx", handle_bits(handle));
    if (const char* error = device_error(handle)) return fail_call(&line, error);
    if (sim.state != sim_state::open) return fail_call(&line, "task not released");
    sim.state = sim_state::closed;
    const std::int32_t result = succeed_call(&line);
    close_log();
    return result;
}

}  // extern "C"
