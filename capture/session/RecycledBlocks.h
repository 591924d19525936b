// SPDX-License-Identifier: GPL-3.0-or-later
// Keeps the blocks of a class that the capture thread makes and drops once per connection or request.
// Thousands of them are alive at once and they come and go in bursts (idle connections end together),
// more than the allocator's per-thread cache holds: the general heap then sorts and merges every block
// it is given back, which cost a tenth of a plain-HTTP replay's time.
#pragma once

#include <cstddef>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define TARNWICK_RECYCLE_BLOCKS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TARNWICK_RECYCLE_BLOCKS 0
#endif
#endif
#ifndef TARNWICK_RECYCLE_BLOCKS
#define TARNWICK_RECYCLE_BLOCKS 1
#endif

namespace tarnwick {

// A class takes its blocks through operator new and delete of its own that call Take and Give. Each
// thread keeps a stock of at most kKept blocks (a block given back on another thread joins that
// thread's stock); a thread's stock is freed when it ends. Under AddressSanitizer blocks are never
// reused, so that a use after free is still caught.
template <typename T, size_t kKept = 1024>
class RecycledBlocks {
public:
    static void* Take(size_t size) {
#if TARNWICK_RECYCLE_BLOCKS
        Stock& stock = stock_;
        if (size == sizeof(T) && stock.first) {
            Free* block = stock.first;
            stock.first = block->next;
            --stock.count;
            return block;
        }
#endif
        return ::operator new(size);
    }

    static void Give(void* block, [[maybe_unused]] size_t size) noexcept {
#if TARNWICK_RECYCLE_BLOCKS
        if (size == sizeof(T) && !ended_) {
            Stock& stock = stock_;
            if (stock.count < kKept) {
                stock.first = ::new (block) Free{stock.first};
                ++stock.count;
                return;
            }
        }
#endif
        ::operator delete(block);
    }

private:
    static_assert(sizeof(T) >= sizeof(void*), "a kept block holds the link to the next");
    struct Free {
        Free* next;
    };
    struct Stock {
        Free* first = nullptr;
        size_t count = 0;
        ~Stock() {
            ended_ = true;
            while (first) {
                Free* next = first->next;
                ::operator delete(first);
                first = next;
            }
        }
    };

    static inline thread_local Stock stock_;
    // Set once the thread's stock is gone: blocks its last objects give back then go to the heap.
    static inline thread_local bool ended_ = false;
};

}  // namespace tarnwick
