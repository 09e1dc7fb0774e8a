// Message log: every server message, time-stamped, into the day's log file.
// Lines are collected in memory and written with one write before any reply that depends on
// them and before the server waits.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/server.h"

int msglog_keep_days = 0;

static char msg_logfile_name[17] = "log_YYYYMMDD.log";
static int msg_log_handle = -1;        // descriptor of the open log file, -1 when none
// The local date (year * 10000 + month * 100 + day) whose log file is open; 0 at start.
// The whole date is compared, so a server idle for a month still changes files.
static int logfile_roll_time_last_day = 0;

// Lines not yet written to the file.
static char log_batch[32 * 1024];
static std::size_t log_batch_len = 0;
// A failed write is reported once, and once more when writing works again.
static bool log_write_failing = false;

// The time stamp of the current second, in ctime's form without its newline, and its date.
inline constexpr std::size_t STAMP_LEN = 24;
static time_t stamp_second = -1;
static char stamp_text[STAMP_LEN + 8];
static int stamp_date = 0;

static void
refresh_stamp(time_t now)
{
    static const char days[] = "SunMonTueWedThuFriSat";
    static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
    struct tm t;
    localtime_r(&now, &t);
    snprintf(stamp_text, sizeof stamp_text, "%.3s %.3s%3d %.2d:%.2d:%.2d %d",
             days + 3 * (t.tm_wday % 7), months + 3 * (t.tm_mon % 12), t.tm_mday, t.tm_hour,
             t.tm_min, t.tm_sec, t.tm_year + 1900);
    stamp_date = (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
    stamp_second = now;
}

// Length of the valid UTF-8 sequence of two to four bytes at s (n bytes left), else 0.
static std::size_t
utf8_sequence(const unsigned char *s, std::size_t n)
{
    unsigned char b = s[0];
    std::size_t len = b >= 0xC2 && b <= 0xDF ? 2 : b >= 0xE0 && b <= 0xEF ? 3
                      : b >= 0xF0 && b <= 0xF4 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    // The second byte's range excludes overlong forms, surrogates and code points past U+10FFFF.
    unsigned char lo = b == 0xE0 ? 0xA0 : b == 0xF0 ? 0x90 : 0x80;
    unsigned char hi = b == 0xED ? 0x9F : b == 0xF4 ? 0x8F : 0xBF;
    if (s[1] < lo || s[1] > hi)
        return 0;
    for (std::size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

// Copies text, writing control bytes (all but the newline), DEL and the C1 controls as '.', so
// that nothing a peer sends can reach a terminal that shows the log as an escape sequence. A
// C1 control is a byte 0x80-0x9F outside a valid UTF-8 sequence, or the code points U+0080 to
// U+009F written in UTF-8 (two dots). Every other valid UTF-8 sequence is copied as it is.
static void
copy_printable(char *dst, const char *src, std::size_t len)
{
    const auto *s = reinterpret_cast<const unsigned char *>(src);
    std::size_t i = 0;
    while (i < len) {
        unsigned char b = s[i];
        std::size_t seq = b >= 0x80 ? utf8_sequence(s + i, len - i) : 0;
        if (seq > 0 && !(b == 0xC2 && s[i + 1] <= 0x9F)) {
            memcpy(dst + i, src + i, seq);
            i += seq;
            continue;
        }
        bool control = (b < 0x20 && b != '\n') || b == 0x7F || (b >= 0x80 && b <= 0x9F) ||
                       (b == 0xC2 && seq == 2);
        dst[i] = control ? '.' : static_cast<char>(b);
        i++;
    }
}

// True when standard error is the journal's stream (systemd sets JOURNAL_STREAM to its
// "device:inode"): every log line then goes there too.
static bool
stderr_is_journal()
{
    static int known = -1;
    if (known < 0) {
        known = 0;
        const char *stream = getenv("JOURNAL_STREAM");
        unsigned long long dev = 0, ino = 0;
        struct stat st;
        if (stream != nullptr && sscanf(stream, "%llu:%llu", &dev, &ino) == 2 &&
            fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == dev &&
            static_cast<unsigned long long>(st.st_ino) == ino)
            known = 1;
    }
    return known == 1;
}

void
msglog_flush()
{
    if (log_batch_len == 0)
        return;
    if (stderr_is_journal()) {
        std::size_t sent = 0;
        while (sent < log_batch_len) {
            ssize_t n = write(2, log_batch + sent, log_batch_len - sent);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
    }
    std::size_t done = 0;
    while (done < log_batch_len && msg_log_handle >= 0) {
        ssize_t n = write(msg_log_handle, log_batch + done, log_batch_len - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        int saved_errno = n < 0 ? errno : ENOSPC;
        if (saved_errno == EINTR)
            continue;
        stats.log_write_failures++;
        if (!log_write_failing)
            fprintf(stderr, "tarrowd: unable to write the message log %s: %s\n",
                    msg_logfile_name, strerror(saved_errno));
        log_write_failing = true;
        break;
    }
    if (done == log_batch_len && log_write_failing) {
        fprintf(stderr, "tarrowd: writing the message log %s works again\n", msg_logfile_name);
        log_write_failing = false;
    }
    log_batch_len = 0;
}

// The local date yyyymmdd days before the date of now.
static int
date_days_before(time_t now, int days)
{
    struct tm t;
    localtime_r(&now, &t);
    t.tm_mday -= days;
    t.tm_hour = 12;     // midday: a change to or from summer time cannot move the date
    t.tm_isdst = -1;
    mktime(&t);
    return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

// Whether n is a daily log of this server in one of the forms a rotation leaves:
// "log_YYYYMMDD.log", then optionally ".N" (rotated) and optionally ".gz" (compressed).
static bool
is_daily_log(const char *n)
{
    if (strncmp(n, "log_", 4) != 0 || strspn(n + 4, "0123456789") != 8 ||
        strncmp(n + 12, ".log", 4) != 0)
        return false;
    const char *rest = n + 16;
    if (rest[0] == '.' && rest[1] >= '1' && rest[1] <= '9')
        rest += 1 + strspn(rest + 1, "0123456789");
    return rest[0] == '\0' || strcmp(rest, ".gz") == 0;
}

// Removes the daily logs of this server, rotated and compressed ones included, whose date
// lies more than msglog_keep_days days before today. Other files are never touched.
static void
remove_old_logs(time_t now)
{
    if (msglog_keep_days <= 0)
        return;
    int oldest_kept = date_days_before(now, msglog_keep_days);
    DIR *dir = opendir(".");
    if (dir == nullptr) {
        int saved_errno = errno;
        myprintf("WARN: Unable to look for old log files, %s\n", strerror(saved_errno));
        return;
    }
    while (struct dirent *e = readdir(dir)) {
        const char *n = e->d_name;
        if (!is_daily_log(n))
            continue;
        if (atoi(n + 4) >= oldest_kept)
            continue;
        if (unlink(n) == 0) {
            myprintf("INFO: Removed log file %s, older than %d days\n", n, msglog_keep_days);
        } else {
            int saved_errno = errno;
            myprintf("WARN: Unable to remove old log file %s, %s\n", n, strerror(saved_errno));
        }
    }
    closedir(dir);
}

void
SERVER_roll_log_files()
{
    time_t now = time(nullptr);
    refresh_stamp(now);
    char date[16];
    snprintf(date, sizeof date, "%.8d", stamp_date % 100000000);
    snprintf(msg_logfile_name, sizeof msg_logfile_name, "log_%.8s.log", date);
    // Stored before the closing message, so that message does not start another change.
    logfile_roll_time_last_day = stamp_date;
    if (msg_log_handle >= 0) {
        myprintf("Closing log file, rolling over to a new days log\n");
        msglog_flush();
        close(msg_log_handle);
        msg_log_handle = -1;
    }
    msg_log_handle = open(msg_logfile_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (msg_log_handle < 0)
        myprintf("*ERR: Unable to open log file %s, continuing using STDOUT for messages\n",
                 msg_logfile_name);
    remove_old_logs(now);
}

void
msglog_write(const char *text, std::size_t len)
{
    time_t now = time(nullptr);
    if (now != stamp_second)
        refresh_stamp(now);
    if (stamp_date != logfile_roll_time_last_day)
        SERVER_roll_log_files();

    if (msg_log_handle < 0) {
        char out[512];
        while (len > 0) {
            std::size_t n = len < sizeof out ? len : sizeof out;
            copy_printable(out, text, n);
            fwrite(out, 1, n, stdout);
            text += n;
            len -= n;
        }
        fflush(stdout);
        return;
    }
    if (log_batch_len + STAMP_LEN + 1 + len > sizeof log_batch)
        msglog_flush();
    if (STAMP_LEN + 1 + len > sizeof log_batch)
        return;     // callers pass lines of a few hundred bytes
    char *p = log_batch + log_batch_len;
    memcpy(p, stamp_text, STAMP_LEN);
    p[STAMP_LEN] = ' ';
    copy_printable(p + STAMP_LEN + 1, text, len);
    log_batch_len += STAMP_LEN + 1 + len;
}

void
myprintf(const char *format, ...)
{
    char msg[512];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(msg, 511, format, ap);
    va_end(ap);
    if (n < 0 || n > 510) {
        myprintf("*ERR: Message of > 512 bytes passed, discarded\n");
        return;
    }
    // The formatted length, not strlen: a %c of a zero byte must not cut the message.
    msglog_write(msg, static_cast<std::size_t>(n));
}

void
msglog_close()
{
    msglog_flush();
    if (msg_log_handle >= 0)
        close(msg_log_handle);
    msg_log_handle = -1;
    logfile_roll_time_last_day = 0;
}

void
msglog_reopen()
{
    msglog_flush();
    if (msg_log_handle >= 0)
        close(msg_log_handle);
    msg_log_handle = open(msg_logfile_name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (msg_log_handle < 0)
        myprintf("*ERR: Unable to open log file %s, continuing using STDOUT for messages\n",
                 msg_logfile_name);
}

bool
msglog_file_open()
{
    return msg_log_handle >= 0;
}

void
msglog_set_file_date(int yyyymmdd)
{
    logfile_roll_time_last_day = yyyymmdd;
}
