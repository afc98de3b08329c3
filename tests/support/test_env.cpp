// Gives every test program the locations it needs even when CTest cannot
// pass them: values already in the environment win.
#include <cstdlib>

namespace {

struct TestEnvDefaults {
    TestEnvDefaults() {
        setenv("TARVO_BIN", TARVO_TEST_BIN, 0);
        setenv("TARVO_SOURCE_DIR", TARVO_TEST_SOURCE_DIR, 0);
        setenv("TARVO_BMPSUITE_DIR", TARVO_TEST_BMPSUITE_DIR, 0);
    }
};

const TestEnvDefaults defaults;

}  // namespace
