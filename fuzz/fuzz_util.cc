#include "fuzz/fuzz_util.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

void
fuzz_fail(const char *what, const char *file, int line)
{
    fprintf(stderr, "invariant broken: %s (%s:%d)\n", what, file, line);
    abort();
}

static char private_dir[64];

static void
remove_private_dir()
{
    if (private_dir[0] == '\0' || chdir("/") != 0)
        return;
    DIR *d = opendir(private_dir);
    if (d != nullptr) {
        while (struct dirent *e = readdir(d)) {
            if (strcmp(e->d_name, ".") == 0 || strcmp(e->d_name, "..") == 0)
                continue;
            std::string path = std::string(private_dir) + "/" + e->d_name;
            unlink(path.c_str());
        }
        closedir(d);
    }
    rmdir(private_dir);
}

// The log file of the day of t, linked to /dev/null: fuzzing would fill the disk otherwise.
static void
null_log(time_t t)
{
    struct tm tm;
    localtime_r(&t, &tm);
    char name[32];
    snprintf(name, sizeof name, "log_%04d%02d%02d.log", tm.tm_year + 1900, tm.tm_mon + 1,
             tm.tm_mday);
    if (symlink("/dev/null", name) != 0 && errno != EEXIST)
        perror(name);
}

void
fuzz_enter_private_dir()
{
    snprintf(private_dir, sizeof private_dir, "/tmp/tarrow-fuzz-XXXXXX");
    if (mkdtemp(private_dir) == nullptr || chdir(private_dir) != 0) {
        perror("fuzz: private directory");
        abort();
    }
    atexit(remove_private_dir);
    time_t now = time(nullptr);
    null_log(now);
    null_log(now + 86400);
}

bool
fuzz_write_file(const char *name, const void *data, std::size_t len)
{
    FILE *f = fopen(name, "w");
    if (f == nullptr)
        return false;
    bool ok = len == 0 || fwrite(data, len, 1, f) == 1;
    return fclose(f) == 0 && ok;
}

long
fuzz_file_size(const char *name)
{
    struct stat st;
    if (stat(name, &st) != 0)
        return -1;
    return static_cast<long>(st.st_size);
}

std::string
fuzz_read_file(const char *name)
{
    std::string out;
    FILE *f = fopen(name, "r");
    if (f == nullptr)
        return out;
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    fclose(f);
    return out;
}
