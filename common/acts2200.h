// The device library's interface, as this program uses it.
//
// The library is a closed component: these declarations state only what the
// recorder passes and relies on. Every function has C linkage so that the
// program imports plain, unmangled names.
#ifndef ACC_ACTS2200_H
#define ACC_ACTS2200_H

#include <cstddef>
#include <cstdint>

// Opaque, pointer-sized device handle. All bits set means "no device".
typedef std::intptr_t dev_handle;
constexpr dev_handle no_device = -1;

// The 944-byte parameter block handed to ACTS2200_AI_InitTask. The library
// owns the meaning of each field; the recorder fixes only the values that
// fill_ai_param writes. Unnamed spans stay zero.
struct ai_param {
    std::int32_t word_0;  // 1
    std::uint8_t reserved_4[12];
    std::int32_t ai_option;  // run setting ai_option
    std::int32_t word_20;    // 0
    std::int32_t word_24;    // 0
    std::uint8_t reserved_28[756];
    std::int32_t word_784;  // 3
    std::int32_t word_788;  // 4096
    double sample_rate_hz;  // run setting sample_rate_hz
    std::int32_t word_800;  // 0
    std::uint8_t reserved_804[4];
    std::int32_t word_808;  // 0
    std::uint8_t reserved_812[132];
};

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__,
              "the parameter block is laid out in little-endian byte order");
static_assert(sizeof(ai_param) == 944, "parameter block must be 944 bytes");
static_assert(offsetof(ai_param, word_0) == 0, "offset 0");
static_assert(offsetof(ai_param, ai_option) == 16, "offset 16");
static_assert(offsetof(ai_param, word_20) == 20, "offset 20");
static_assert(offsetof(ai_param, word_24) == 24, "offset 24");
static_assert(offsetof(ai_param, word_784) == 784, "offset 784");
static_assert(offsetof(ai_param, word_788) == 788, "offset 788");
static_assert(offsetof(ai_param, sample_rate_hz) == 792, "offset 792");
static_assert(offsetof(ai_param, word_800) == 800, "offset 800");
static_assert(offsetof(ai_param, word_808) == 808, "offset 808");

extern "C" {

// Returns a handle, or no_device (-1) when the device cannot be opened.
dev_handle ACTS2200_DEV_Create(std::int32_t device_index);

// Each of these returns 0 for failure and any other value for success.
std::int32_t ACTS2200_AI_InitTask(dev_handle handle, ai_param* param);
std::int32_t ACTS2200_AI_StartTask(dev_handle handle);

// Waits until `requested` voltages are available or `timeout_s` has passed.
// On success stores the number of voltages written to `dest` in `*delivered`.
std::int32_t ACTS2200_AI_ReadAnalog(dev_handle handle, double* dest, std::uint32_t requested,
                                    std::uint32_t* delivered, std::int32_t reserved,
                                    double timeout_s);

// Results of the three release calls carry no meaning for the recorder.
std::int32_t ACTS2200_AI_StopTask(dev_handle handle);
std::int32_t ACTS2200_AI_ReleaseTask(dev_handle handle);
std::int32_t ACTS2200_DEV_Release(dev_handle handle);

}  // extern "C"

#endif
