// The few POSIX C library calls that the tests use and Windows' C runtime
// lacks. The Windows build includes this header in every test source
// (-include), so the tests stay free of platform conditionals.
#pragma once

#if defined(_WIN32)

#include <stdlib.h>

// Makes a new directory (never an existing one) from `pattern`, whose last
// six characters are "XXXXXX" and are replaced in place; returns `pattern`,
// or null with errno set.
char* mkdtemp(char* pattern);

// Sets the variable in the C runtime's environment (which getenv reads);
// with `overwrite` 0 an existing value is kept. 0 on success, -1 otherwise.
int setenv(const char* name, const char* value, int overwrite);

// Removes the variable; 0 on success, -1 otherwise.
int unsetenv(const char* name);

#endif  // _WIN32
