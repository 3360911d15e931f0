// A finding of a fuzz target that is not a sanitizer report: a broken
// invariant of ours. No Qt, so that targets without it (zav-push's readers)
// use it too.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz {

[[noreturn]] inline void fail(const char* what)
{
    std::fprintf(stderr, "zav-fuzz: invariant broken: %s\n", what);
    std::abort();
}

inline void check(bool ok, const char* what)
{
    if (!ok) {
        fail(what);
    }
}

} // namespace fuzz
