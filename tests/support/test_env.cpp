// Gives every test program the locations it needs even when CTest cannot
// pass them: values already in the environment win.
#include <cstdlib>

namespace {

void set_default(const char* name, const char* value) {
#ifdef _WIN32
    if (!std::getenv(name)) _putenv_s(name, value);
#else
    setenv(name, value, 0);
#endif
}

struct TestEnvDefaults {
    TestEnvDefaults() {
        set_default("TARVO_BIN", TARVO_TEST_BIN);
        set_default("TARVO_SOURCE_DIR", TARVO_TEST_SOURCE_DIR);
        set_default("TARVO_BMPSUITE_DIR", TARVO_TEST_BMPSUITE_DIR);
    }
};

const TestEnvDefaults defaults;

}  // namespace
