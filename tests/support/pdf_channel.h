// Writer test helpers: a document whose output channel writes into memory,
// and a fixture that checks every writer byte is given back.
#ifndef TARVO_TESTS_PDF_CHANNEL_H
#define TARVO_TESTS_PDF_CHANNEL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pdf/pdfw_private.h"

struct MemoryChannel {
    PdfDocument* doc = nullptr;
    char* bytes = nullptr;
    size_t size = 0;

    MemoryChannel() {
        EXPECT_TRUE(pdfw_new(&doc));
        if (doc) doc->out = open_memstream(&bytes, &size);
    }
    ~MemoryChannel() {
        if (doc && doc->out) std::fclose(doc->out);
        if (doc) doc->out = nullptr;
        pdfw_destroy(&doc);
        std::free(bytes);
    }
    MemoryChannel(const MemoryChannel&) = delete;
    MemoryChannel& operator=(const MemoryChannel&) = delete;

    std::string text() {
        std::fflush(doc->out);
        return std::string(bytes, size);
    }
};

// Fixture for writer tests: after the test's documents are destroyed no
// byte of the counted allocator is still in use.
struct WriterTest : testing::Test {
    void TearDown() override { EXPECT_EQ(pdfw_mem_all_in_use(), 0); }
};

#endif
