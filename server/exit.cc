// The two ways the server ends: die for what it cannot survive, shutdown_immed for a
// requested stop. Both save what must survive and close the files first.
#include <cstdio>
#include <cstdlib>

#include "server/server.h"

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
    bool to_file = msglog_file_open();
    if (to_file)
        myprintf("----: Shutdown in progress\n");
    if (keep_table)
        table_store_save();
    client_close_all();
    overflow_close();
    if (to_file) {
        myprintf("----: ALL OK, Server shutdown has completed.\n");
        msglog_close();
    }
    msglog_flush();
    exit(status);
}
