#pragma once
// What the tests do differently on Windows.

#include <gtest/gtest.h>

#ifdef _WIN32
// Tests that build Linux fixtures (named pipes, symbolic links, /dev, a fake /sys) are
// skipped on Windows, by name and with the reason; mkfifo exists there only to compile.
#define KELVANE_SKIP_ON_WINDOWS(why) GTEST_SKIP() << "not on Windows: " << (why)
inline int mkfifo(const char*, int) { return -1; }
#else
#define KELVANE_SKIP_ON_WINDOWS(why) (void)0
#endif
