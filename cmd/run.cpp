// Conversion run: placeholder until the writer side is in place.
#include "cmd/tarvo.h"

int cmd_run(const TarvoSettings* settings, std::wstring* detail) {
    (void)settings;
    (void)detail;
    return TARVO_OK;
}
