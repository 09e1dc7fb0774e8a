// Message log: every server message, time-stamped, into the day's log file; the two exits.
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "server/server.h"

static char msg_logfile_name[17] = "log_YYYYMMDD.log";
static FILE *msg_log_handle = nullptr;
// The local date (year * 10000 + month * 100 + day) whose log file is open; 0 at start.
// The whole date is compared, so a server idle for a month still changes files.
static int logfile_roll_time_last_day = 0;

static int
date_key(const struct tm &t)
{
    return (t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday;
}

void
SERVER_roll_log_files()
{
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    char date[48];
    snprintf(date, sizeof date, "%.4d%.2d%.2d", (tm_now.tm_year + 1900) % 10000,
             tm_now.tm_mon + 1, tm_now.tm_mday);
    snprintf(msg_logfile_name, sizeof msg_logfile_name, "log_%.8s.log", date);
    // Stored before the closing message, so that message does not start another change.
    logfile_roll_time_last_day = date_key(tm_now);
    if (msg_log_handle != nullptr) {
        myprintf("Closing log file, rolling over to a new days log\n");
        fclose(msg_log_handle);
        msg_log_handle = nullptr;
    }
    msg_log_handle = fopen(msg_logfile_name, "a+");
    if (msg_log_handle == nullptr)
        myprintf("*ERR: Unable to open log file %s, continuing using STDOUT for messages\n",
                 msg_logfile_name);
}

void
myprintf(const char *format, ...)
{
    time_t now = time(nullptr);
    struct tm tm_now;
    localtime_r(&now, &tm_now);
    if (date_key(tm_now) != logfile_roll_time_last_day)
        SERVER_roll_log_files();

    char *msg = static_cast<char *>(malloc(512));
    if (msg == nullptr) {
        fputs("Unable to allocate 512 bytes of memory for message display\n", stdout);
        fflush(stdout);
        return;
    }
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(msg, 511, format, ap);
    va_end(ap);
    if (n < 0 || n > 510) {
        free(msg);
        myprintf("*ERR: Message of > 512 bytes passed, discarded\n");
        return;
    }
    // The formatted length, not strlen: a %c of a zero byte must not cut the message.
    std::size_t len = static_cast<std::size_t>(n);
    if (msg_log_handle != nullptr) {
        char stamp[49];
        ctime_r(&now, stamp);
        std::size_t slen = strlen(stamp);
        if (slen > 0)
            stamp[slen - 1] = '\0';
        fputs(stamp, msg_log_handle);
        fputc(' ', msg_log_handle);
        fwrite(msg, 1, len, msg_log_handle);
        fflush(msg_log_handle);
        clearerr(msg_log_handle);
    } else {
        fwrite(msg, 1, len, stdout);
        fflush(stdout);
    }
    free(msg);
}

void
msglog_close()
{
    if (msg_log_handle != nullptr)
        fclose(msg_log_handle);
    msg_log_handle = nullptr;
    logfile_roll_time_last_day = 0;
}

void
msglog_reopen()
{
    if (msg_log_handle != nullptr)
        fclose(msg_log_handle);
    msg_log_handle = fopen(msg_logfile_name, "a+");
    if (msg_log_handle == nullptr)
        myprintf("*ERR: Unable to open log file %s, continuing using STDOUT for messages\n",
                 msg_logfile_name);
}

void
msglog_set_file_date(int yyyymmdd)
{
    logfile_roll_time_last_day = yyyymmdd;
}

void
die(const char *text, int status)
{
    perror(text);
    myprintf("*ERR: ***FATAL*** A fatal server error has occurred. Cannot continue.\n");
    myprintf("*ERR: %s\n", text);
    myprintf("INFO: Server has aborted.\n");
    shutdown_immed(status);
}

void
shutdown_immed(int status)
{
    notify_service_manager("STOPPING=1");
    if (msg_log_handle != nullptr)
        myprintf("----: Shutdown in progress\n");
    if (keep_table)
        table_store_save();
    client_close_all();
    overflow_close();
    if (msg_log_handle != nullptr) {
        myprintf("----: ALL OK, Server shutdown has completed.\n");
        fclose(msg_log_handle);
        msg_log_handle = nullptr;
    }
    exit(status);
}
