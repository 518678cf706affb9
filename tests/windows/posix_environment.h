#pragma once
// setenv and unsetenv, which the tests use to set a variable for the library, over the C
// runtime's _putenv_s (the Windows runtime has no POSIX environment functions).

#include <stdlib.h>

inline int setenv(const char *name, const char *value, int overwrite) {
    if (!overwrite && getenv(name) != nullptr)
        return 0;
    return _putenv_s(name, value) == 0 ? 0 : -1;
}

inline int unsetenv(const char *name) {
    return _putenv_s(name, "") == 0 ? 0 : -1;
}
