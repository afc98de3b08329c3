// The process clipboard: data blocks by format number, an open/close pair
// that admits one opener at a time, and named formats numbered from 0xC000.
#include "platform/platform.h"

#include <cstdlib>
#include <cstring>

namespace {

const size_t MAX_NAME_BYTES = 255;
const size_t REGISTERED_CAPACITY = PLAT_CF_LAST_REGISTERED - PLAT_CF_FIRST_REGISTERED + 1;

struct ClipEntry {
    unsigned format;
    PlatMem data;
};

struct Clipboard {
    bool open;
    const void* owner;
    ClipEntry* entries;
    size_t count;
    size_t capacity;
    char** names;  // names[i] is format PLAT_CF_FIRST_REGISTERED + i
    size_t name_count;
    size_t name_capacity;
    unsigned fail;
};

Clipboard clip;

ClipEntry* find(unsigned format) {
    for (size_t i = 0; i < clip.count; i++)
        if (clip.entries[i].format == format) return &clip.entries[i];
    return nullptr;
}

bool same_name(const char* a, const char* b) {
    for (;; a++, b++) {
        unsigned char ca = static_cast<unsigned char>(*a), cb = static_cast<unsigned char>(*b);
        if (ca >= 'A' && ca <= 'Z') ca = static_cast<unsigned char>(ca - 'A' + 'a');
        if (cb >= 'A' && cb <= 'Z') cb = static_cast<unsigned char>(cb - 'A' + 'a');
        if (ca != cb) return false;
        if (!ca) return true;
    }
}

void free_all_data() {
    for (size_t i = 0; i < clip.count; i++) plat_mem_free(clip.entries[i].data);
    clip.count = 0;
}

}  // namespace

bool plat_clip_open(const void* owner) {
    if (clip.open || (clip.fail & PLAT_CLIP_FAIL_OPEN)) return false;
    clip.open = true;
    clip.owner = owner;
    return true;
}

bool plat_clip_close() {
    if (!clip.open || (clip.fail & PLAT_CLIP_FAIL_CLOSE)) return false;
    clip.open = false;
    clip.owner = nullptr;
    return true;
}

bool plat_clip_empty() {
    if (!clip.open) return false;
    free_all_data();
    return true;
}

bool plat_clip_set(unsigned format, PlatMem data) {
    if (!clip.open || !data || format == 0 || (clip.fail & PLAT_CLIP_FAIL_SET)) return false;
    if (ClipEntry* e = find(format)) {
        if (e->data != data) plat_mem_free(e->data);
        e->data = data;
        return true;
    }
    if (clip.count == clip.capacity) {
        size_t cap = clip.capacity ? clip.capacity * 2 : 8;
        void* grown = std::realloc(clip.entries, cap * sizeof(ClipEntry));
        if (!grown) return false;
        clip.entries = static_cast<ClipEntry*>(grown);
        clip.capacity = cap;
    }
    clip.entries[clip.count].format = format;
    clip.entries[clip.count].data = data;
    clip.count++;
    return true;
}

PlatMem plat_clip_get(unsigned format) {
    if (!clip.open) return nullptr;
    ClipEntry* e = find(format);
    return e ? e->data : nullptr;
}

bool plat_clip_available(unsigned format) { return find(format) != nullptr; }

unsigned plat_clip_register(const char* name) {
    if (!name || !*name || (clip.fail & PLAT_CLIP_FAIL_REGISTER)) return 0;
    size_t len = std::strlen(name);
    if (len > MAX_NAME_BYTES) return 0;
    for (size_t i = 0; i < clip.name_count; i++)
        if (same_name(clip.names[i], name)) return unsigned(PLAT_CF_FIRST_REGISTERED + i);
    if (clip.name_count == REGISTERED_CAPACITY) return 0;
    if (clip.name_count == clip.name_capacity) {
        size_t cap = clip.name_capacity ? clip.name_capacity * 2 : 16;
        void* grown = std::realloc(clip.names, cap * sizeof(char*));
        if (!grown) return 0;
        clip.names = static_cast<char**>(grown);
        clip.name_capacity = cap;
    }
    char* copy = static_cast<char*>(std::malloc(len + 1));
    if (!copy) return 0;
    std::memcpy(copy, name, len + 1);
    clip.names[clip.name_count] = copy;
    return unsigned(PLAT_CF_FIRST_REGISTERED + clip.name_count++);
}

void plat_clip_reset() {
    free_all_data();
    clip.open = false;
    clip.owner = nullptr;
    clip.fail = 0;
}

void plat_clip_fail(unsigned calls) { clip.fail = calls; }
