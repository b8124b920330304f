#include "row_feed.h"

namespace {

void fill_block(csv_reader* reader, row_block* block) {
    block->count = 0;
    block->first_line = 0;
    read_status status = read_status::row;
    while (block->count < row_block_size) {
        // A compact file's rows many at a time, the rest one by one.
        std::size_t n =
            csv_reader_take_rows(reader, &block->rows[block->count], row_block_size - block->count);
        if (n == 0) {
            status = csv_reader_next(reader, &block->rows[block->count]);
            if (status != read_status::row) break;
            n = 1;
        }
        if (block->count == 0) block->first_line = reader->line - n + 1;
        block->count += n;
    }
    block->last = status != read_status::row;
}

void* read_blocks(void* argument) {
    row_feed* feed = static_cast<row_feed*>(argument);
    for (int i = 0;; i ^= 1) {
        pthread_mutex_lock(&feed->lock);
        while (feed->full[i]) pthread_cond_wait(&feed->changed, &feed->lock);
        pthread_mutex_unlock(&feed->lock);
        fill_block(feed->reader, &feed->blocks[i]);
        const bool last = feed->blocks[i].last;
        pthread_mutex_lock(&feed->lock);
        feed->full[i] = true;
        pthread_cond_broadcast(&feed->changed);
        pthread_mutex_unlock(&feed->lock);
        if (last) return nullptr;
    }
}

}  // namespace

void row_feed_start(row_feed* feed, csv_reader* reader) {
    feed->reader = reader;
    feed->full[0] = feed->full[1] = false;
    feed->next = 0;
    // Without a thread the reader's own fills each block as it is asked for.
    const bool locked = pthread_mutex_init(&feed->lock, nullptr) == 0;
    const bool signalled = locked && pthread_cond_init(&feed->changed, nullptr) == 0;
    feed->threaded = signalled && pthread_create(&feed->thread, nullptr, read_blocks, feed) == 0;
    if (!feed->threaded && signalled) pthread_cond_destroy(&feed->changed);
    if (!feed->threaded && locked) pthread_mutex_destroy(&feed->lock);
}

const row_block* row_feed_next(row_feed* feed) {
    row_block* block = &feed->blocks[feed->next];
    if (!feed->threaded) {
        fill_block(feed->reader, block);
        return block;
    }
    pthread_mutex_lock(&feed->lock);
    while (!feed->full[feed->next]) pthread_cond_wait(&feed->changed, &feed->lock);
    pthread_mutex_unlock(&feed->lock);
    return block;
}

void row_feed_release(row_feed* feed) {
    if (feed->threaded) {
        pthread_mutex_lock(&feed->lock);
        feed->full[feed->next] = false;
        pthread_cond_broadcast(&feed->changed);
        pthread_mutex_unlock(&feed->lock);
    }
    feed->next ^= 1;
}

void row_feed_finish(row_feed* feed) {
    if (!feed->threaded) return;
    pthread_join(feed->thread, nullptr);
    pthread_cond_destroy(&feed->changed);
    pthread_mutex_destroy(&feed->lock);
    feed->threaded = false;
}
