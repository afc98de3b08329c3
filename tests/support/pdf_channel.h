// A document whose output channel writes into memory, for the tests of the
// channel, the syntax and the object model (writer internals).
#ifndef TARVO_TESTS_PDF_CHANNEL_H
#define TARVO_TESTS_PDF_CHANNEL_H

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "pdf/pdfw_private.h"
#include "support/writer_fixture.h"

struct MemoryChannel {
    PdfDocument* doc = nullptr;
    FILE* file = nullptr;
    char* bytes = nullptr;
    size_t size = 0;

    MemoryChannel() {
        EXPECT_TRUE(pdfw_new(&doc));
#ifdef _WIN32
        file = std::tmpfile();  // read back by text()
#else
        file = open_memstream(&bytes, &size);
#endif
        if (doc) doc->out = file;
    }
    ~MemoryChannel() {
        // The channel is not the document's to close.
        if (doc) doc->out = nullptr;
        pdfw_destroy(&doc);
        if (file) std::fclose(file);
        std::free(bytes);
    }
    MemoryChannel(const MemoryChannel&) = delete;
    MemoryChannel& operator=(const MemoryChannel&) = delete;

    std::string text() {
        std::fflush(file);
#ifdef _WIN32
        std::string all;
        if (!file) return all;
        const long end = std::ftell(file);
        std::rewind(file);
        all.resize(size_t(end > 0 ? end : 0));
        all.resize(std::fread(&all[0], 1, all.size(), file));
        std::fseek(file, 0, SEEK_END);
        return all;
#else
        return std::string(bytes, size);
#endif
    }
};

#endif
