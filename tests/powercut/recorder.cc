// libpowercut_recorder.so: loaded into tarrowd with LD_PRELOAD, it records every change the
// server makes to its state files, every sync and every reply it sends, in the order they
// happen, to the file named by $POWERCUT_LOG. The power-cut test replays that record to
// build what a disk would hold after a power cut at any point.
//
// One line per operation (inode numbers tell files apart; data is hex):
//   C ino name        a state file created under name (it did not exist before the open)
//   W ino off hex     bytes written at off
//   T ino len         truncated to len
//   S ino             the file synced (fsync or fdatasync)
//   D                 the working directory synced
//   R from to         renamed
//   U name            unlinked
//   A n               n bytes sent on a socket
#include <dlfcn.h>
#include <fcntl.h>
#include <stdarg.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

namespace {

int log_fd = -2;                // -2: not opened yet, -1: no log wanted
bool tracked[4096];             // descriptors of state files
bool dir_fd[4096];              // descriptors of the working directory

void
open_log()
{
    if (log_fd != -2)
        return;
    const char *path = getenv("POWERCUT_LOG");
    log_fd = path == nullptr ? -1
                             : static_cast<int>(syscall(SYS_openat, AT_FDCWD, path,
                                                        O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC,
                                                        0600));
}

void
put(const char *text, std::size_t n)
{
    while (n > 0 && log_fd >= 0) {
        long w = syscall(SYS_write, log_fd, text, n);
        if (w <= 0)
            return;
        text += w;
        n -= static_cast<std::size_t>(w);
    }
}

void
putf(const char *format, ...)
{
    char line[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof line, format, ap);
    va_end(ap);
    if (n > 0)
        put(line, static_cast<std::size_t>(n) < sizeof line ? static_cast<std::size_t>(n)
                                                             : sizeof line - 1);
}

bool
state_name(const char *path)
{
    for (const char *n : {"evt_buffer.dat", "alert_table.dat", "alert_table.dat.tmp",
                          "alert_table.jnl"})
        if (strcmp(path, n) == 0)
            return true;
    return false;
}

bool
valid(int fd)
{
    return fd >= 0 && fd < 4096;
}

unsigned long
inode_of(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? static_cast<unsigned long>(st.st_ino) : 0;
}

void
log_write(int fd, const void *buf, long n, long off)
{
    if (n <= 0)
        return;
    putf("W %lu %ld ", inode_of(fd), off);
    static const char hex[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(buf);
    char chunk[1024];
    std::size_t used = 0;
    for (long i = 0; i < n; i++) {
        chunk[used++] = hex[p[i] >> 4];
        chunk[used++] = hex[p[i] & 15];
        if (used == sizeof chunk) {
            put(chunk, used);
            used = 0;
        }
    }
    chunk[used++] = '\n';
    put(chunk, used);
}

template <typename F>
F
next(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int
after_open(int fd, const char *path, int flags, bool existed)
{
    open_log();
    if (fd < 0 || !valid(fd) || log_fd < 0)
        return fd;
    tracked[fd] = state_name(path);
    dir_fd[fd] = strcmp(path, ".") == 0;
    if (tracked[fd]) {
        if (!existed)
            putf("C %lu %s\n", inode_of(fd), path);
        else if (flags & O_TRUNC)
            putf("T %lu 0\n", inode_of(fd));
    }
    return fd;
}

bool
exists(const char *path)
{
    struct stat st;
    return lstat(path, &st) == 0;
}

} // namespace

extern "C" {

int
open(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    bool existed = exists(path);
    int fd = next<int (*)(const char *, int, ...)>("open")(path, flags, mode);
    return after_open(fd, path, flags, existed);
}

int
open64(const char *path, int flags, ...)
{
    va_list ap;
    va_start(ap, flags);
    mode_t mode = static_cast<mode_t>(va_arg(ap, int));
    va_end(ap);
    bool existed = exists(path);
    int fd = next<int (*)(const char *, int, ...)>("open64")(path, flags, mode);
    return after_open(fd, path, flags, existed);
}

// The checked forms that fortified builds call for an open without a mode.
int
__open_2(const char *path, int flags)
{
    bool existed = exists(path);
    int fd = next<int (*)(const char *, int)>("__open_2")(path, flags);
    return after_open(fd, path, flags, existed);
}

int
__open64_2(const char *path, int flags)
{
    bool existed = exists(path);
    int fd = next<int (*)(const char *, int)>("__open64_2")(path, flags);
    return after_open(fd, path, flags, existed);
}

int
close(int fd)
{
    if (valid(fd)) {
        tracked[fd] = false;
        dir_fd[fd] = false;
    }
    return next<int (*)(int)>("close")(fd);
}

ssize_t
write(int fd, const void *buf, size_t n)
{
    long off = -1;
    if (valid(fd) && tracked[fd]) {
        int fl = fcntl(fd, F_GETFL);
        struct stat st;
        off = (fl & O_APPEND) && fstat(fd, &st) == 0 ? static_cast<long>(st.st_size)
                                                      : static_cast<long>(lseek(fd, 0, SEEK_CUR));
    }
    ssize_t w = next<ssize_t (*)(int, const void *, size_t)>("write")(fd, buf, n);
    if (off >= 0)
        log_write(fd, buf, w, off);
    return w;
}

ssize_t
pwrite(int fd, const void *buf, size_t n, off_t off)
{
    ssize_t w = next<ssize_t (*)(int, const void *, size_t, off_t)>("pwrite")(fd, buf, n, off);
    if (valid(fd) && tracked[fd])
        log_write(fd, buf, w, static_cast<long>(off));
    return w;
}

int
ftruncate(int fd, off_t len)
{
    int r = next<int (*)(int, off_t)>("ftruncate")(fd, len);
    if (r == 0 && valid(fd) && tracked[fd])
        putf("T %lu %ld\n", inode_of(fd), static_cast<long>(len));
    return r;
}

int
fsync(int fd)
{
    int r = next<int (*)(int)>("fsync")(fd);
    if (r == 0 && valid(fd) && tracked[fd])
        putf("S %lu\n", inode_of(fd));
    else if (r == 0 && valid(fd) && dir_fd[fd])
        putf("D\n");
    return r;
}

int
fdatasync(int fd)
{
    int r = next<int (*)(int)>("fdatasync")(fd);
    if (r == 0 && valid(fd) && tracked[fd])
        putf("S %lu\n", inode_of(fd));
    else if (r == 0 && valid(fd) && dir_fd[fd])
        putf("D\n");
    return r;
}

int
rename(const char *from, const char *to)
{
    int r = next<int (*)(const char *, const char *)>("rename")(from, to);
    if (r == 0 && (state_name(from) || state_name(to)))
        putf("R %s %s\n", from, to);
    return r;
}

int
unlink(const char *path)
{
    int r = next<int (*)(const char *)>("unlink")(path);
    if (r == 0 && state_name(path))
        putf("U %s\n", path);
    return r;
}

ssize_t
send(int fd, const void *buf, size_t n, int flags)
{
    ssize_t w = next<ssize_t (*)(int, const void *, size_t, int)>("send")(fd, buf, n, flags);
    open_log();
    if (w > 0)
        putf("A %ld\n", static_cast<long>(w));
    return w;
}

} // extern "C"
