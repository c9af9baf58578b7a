#pragma once

#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace vorlund::fuzz {

// Ends the run on a broken property; libFuzzer then saves the input that got here.
[[noreturn]] inline void fail(std::string_view what) {
    std::fprintf(stderr, "fuzz check failed: %.*s\n", static_cast<int>(what.size()), what.data());
    std::abort();
}

inline void check(bool holds, std::string_view what) {
    if (!holds)
        fail(what);
}

} // namespace vorlund::fuzz
