// What the fuzz targets share: a broken invariant aborts with its text (libFuzzer then keeps
// the input as a crash), and the server's targets work in a private directory.
#ifndef FUZZ_FUZZ_UTIL_H
#define FUZZ_FUZZ_UTIL_H

#include <cstddef>
#include <string>

[[noreturn]] void fuzz_fail(const char *what, const char *file, int line);

#define FUZZ_CHECK(cond)                                   \
    do {                                                   \
        if (!(cond))                                       \
            fuzz_fail(#cond, __FILE__, __LINE__);          \
    } while (0)

// Makes a fresh directory under /tmp the working directory, with the message log of today
// and tomorrow sent to /dev/null, and removes it when the process exits.
void fuzz_enter_private_dir();
// Writes len bytes to name in the working directory, replacing it. False on failure.
bool fuzz_write_file(const char *name, const void *data, std::size_t len);
// Size of the file, -1 when it does not exist.
long fuzz_file_size(const char *name);
// Contents of the file ("" when it does not exist).
std::string fuzz_read_file(const char *name);

#endif // FUZZ_FUZZ_UTIL_H
