// Rows read and checked on a second thread, handed over in blocks, so that
// parsing and the analyses run side by side on a machine with two cores.
// Where no thread can be started the blocks are read on the caller's.
#ifndef ACC_INSPECT_ROW_FEED_H
#define ACC_INSPECT_ROW_FEED_H

#include "csv_reader.h"

#include <cstddef>
#include <cstdint>

#include <pthread.h>

constexpr std::size_t row_block_size = 8192;

struct row_block {
    csv_row rows[row_block_size];
    std::uint64_t first_line;  // of rows[0]; each next row is on the next line
    std::size_t count;
    bool last;  // the reader returned end or failed after these rows
};

struct row_feed {
    csv_reader* reader;
    row_block blocks[2];
    bool full[2];
    int next;  // the block the consumer takes next
    bool threaded;
    pthread_t thread;
    pthread_mutex_t lock;
    pthread_cond_t changed;
};

// Starts reading. Large: allocate it on the heap.
void row_feed_start(row_feed* feed, csv_reader* reader);
// The next block, waiting for it; every block up to the last must be taken
// and given back with row_feed_release.
const row_block* row_feed_next(row_feed* feed);
void row_feed_release(row_feed* feed);
// Waits for the reading thread to end; after it the reader's counters and
// failure may be read.
void row_feed_finish(row_feed* feed);

#endif
