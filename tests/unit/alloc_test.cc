#include <gtest/gtest.h>

#include <malloc.h>

#include <cstring>

#include "quillrun/alloc.h"

namespace {

// Blocks given back with qr_free may be handed out again for other sizes:
// whatever qr_malloc returns must hold the request.
TEST(Alloc, ReusedBlocksHoldEveryRequest) {
    for (size_t freed = 1; freed <= 600; ++freed) {
        void *block = qr_malloc(freed);
        ASSERT_NE(block, nullptr);
        memset(block, 'f', freed);
        qr_free(block);
        for (size_t wanted = 1; wanted <= 600; wanted += 7) {
            void *reused = qr_malloc(wanted);
            ASSERT_NE(reused, nullptr);
            ASSERT_GE(malloc_usable_size(reused), wanted) << freed << " then " << wanted;
            memset(reused, 'w', wanted);
            qr_free(reused);
        }
    }
    qr_free(nullptr);
}

// A failure that a test provokes must happen even when a kept block could
// serve the request, or the failure paths would go untested.
TEST(Alloc, ProvokedFailuresHitRequestsThatAKeptBlockCouldServe) {
    qr_free(qr_malloc(10));
    qr_fail_allocation_after(2);
    void *first = qr_malloc(10);
    EXPECT_NE(first, nullptr);
    EXPECT_EQ(qr_malloc(10), nullptr);
    qr_fail_allocation_after(0);
    qr_free(first);

    qr_free(qr_malloc(10));
    qr_fail_allocations_above(8);
    EXPECT_EQ(qr_malloc(10), nullptr);
    qr_fail_allocations_above(0);
}

}  // namespace
