// The manual page and the shell completion: the page lints clean, and both
// name every option the argument pass takes.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "cmd/tarvo.h"
#include "support/tools.h"

namespace {

std::string source_file(const std::string& name) {
    std::string text;
    EXPECT_TRUE(read_file(std::string(std::getenv("TARVO_SOURCE_DIR")) + "/" + name, &text)) << name;
    return text;
}

// text holds lead + name not followed by a letter or digit.
bool names(const std::string& text, const std::string& lead, const std::string& name) {
    const std::string word = lead + name;
    for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
        const size_t end = at + word.size();
        if (end == text.size() || !std::isalnum(static_cast<unsigned char>(text[end]))) return true;
    }
    return false;
}

TEST(Manual, LintsClean) {
    const std::string page = std::string(std::getenv("TARVO_SOURCE_DIR")) + "/doc/tarvo.1";
    CommandResult r;
    if (tool_available("mandoc")) {
        r = run_command({"mandoc", "-T", "lint", "-W", "style", page});
    } else if (tool_available("groff")) {
        r = run_command({"groff", "-man", "-t", "-ww", "-z", page});
    } else {
        GTEST_SKIP() << "neither mandoc nor groff is installed";
    }
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
}

TEST(Manual, EveryOptionIsDocumentedAndCompleted) {
    const std::string page = source_file("doc/tarvo.1");
    const std::string completion = source_file("doc/tarvo-completion.bash");
    for (const std::wstring& wide : cmd_option_names()) {
        const std::string name(wide.begin(), wide.end());
        EXPECT_TRUE(names(page, "\\-", name)) << name << " is not in the manual page";
        EXPECT_TRUE(names(completion, "-", name)) << name << " is not completed";
        // The name is one the argument pass takes, in one of its forms.
        bool taken = false;
        for (const std::wstring& element : {L"-" + wide, L"--" + wide, L"-" + wide + L"=1"}) {
            TarvoSettings s;
            const wchar_t* argv[] = {L"tarvo", element.c_str(), L"a.bmp"};
            cmd_parse_args(3, argv, &s, nullptr);
            taken = taken || s.warnings.empty();
        }
        EXPECT_TRUE(taken) << name << " is not an option";
    }
}

}  // namespace
