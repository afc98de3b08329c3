// Debugger output channel on Windows: the lines go to an attached debugger
// (or a monitor such as DebugView), never to the console.
#include <windows.h>

#include "platform/platform.h"

void plat_debug_out(const wchar_t* text) {
    if (text) OutputDebugStringW(text);
}
