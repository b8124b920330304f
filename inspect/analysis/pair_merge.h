// A fixed number of slots that summarise a series in constant memory, in
// order, each at its `index` on a grid of equal spans (rows, segments or
// seconds) from the start. When the owner finds it full it halves it: the
// span doubles, every index halves, and neighbours that then share an index
// merge, so slots that were all in use are half in use again.
//
// A slot type has a `std::uint64_t index` and comes with
// merge_slots(Slot* earlier, const Slot& later), which folds the later of
// two neighbours into the earlier.
#ifndef ACC_INSPECT_PAIR_MERGE_H
#define ACC_INSPECT_PAIR_MERGE_H

#include <cstddef>
#include <cstdint>

template <typename Slot, std::size_t Capacity>
struct pair_merge_buffer {
    Slot slots[Capacity];
    std::size_t count;
};

template <typename Slot, std::size_t Capacity>
bool pair_merge_full(const pair_merge_buffer<Slot, Capacity>& b) {
    return b.count == Capacity;
}

// The new last slot, for the caller to fill; never call it when full.
template <typename Slot, std::size_t Capacity>
Slot* pair_merge_push(pair_merge_buffer<Slot, Capacity>* b) {
    return &b->slots[b->count++];
}

template <typename Slot, std::size_t Capacity>
void pair_merge_halve(pair_merge_buffer<Slot, Capacity>* b) {
    std::size_t kept = 0;
    for (std::size_t i = 0; i < b->count; ++i) {
        const std::uint64_t index = b->slots[i].index / 2;
        if (kept > 0 && b->slots[kept - 1].index == index) {
            merge_slots(&b->slots[kept - 1], b->slots[i]);
            continue;
        }
        if (kept != i) b->slots[kept] = b->slots[i];
        b->slots[kept++].index = index;
    }
    b->count = kept;
}

#endif
