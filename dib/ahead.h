// Inside the bitmap library: reading a bitmap's pixels on a second thread.
#ifndef TARVO_DIB_AHEAD_H
#define TARVO_DIB_AHEAD_H

#include <climits>
#include <cstdio>

#include "dib/dib.h"

// A bitmap whose header and table are in place and whose pixels are still
// in the file. The block stays locked, and the file open, until the
// reading ends; both then belong to it.
struct DibAheadPlan {
    FILE* file;
    DibHandle handle;
    uint8_t* pixels;       // the block's first stored row
    uint64_t file_offset;  // where that row lies in the file
    uint64_t to_read;      // stored bytes the file holds; the rest stays 0
    int64_t stride;
    int64_t rows;
    bool top_down;
    // Asked for by the caller: rows through a window, so the block holds
    // the header and table only (pixels null).
    bool window;
};

// Starts reading; with no thread to be had, reads it all here. DIB_OK
// (*out null when read here) or DIB_ERR_READ, the file and lock let go.
int dib_ahead_start(const DibAheadPlan& plan, DibAhead** out);
// Stops the reading of a bitmap about to be freed; others are left alone.
void dib_ahead_stop(DibHandle h);
// Rows through a window from a plan with window set; takes the plan's file
// and block. Null when out of memory (both then let go).
DibRows* dib_rows_start(const DibAheadPlan& plan);

#endif
