// Console requests: the parts of console.cc that the unit tests reach besides server.h.
#ifndef SERVER_CONSOLE_H
#define SERVER_CONSOLE_H

// When set, the next console reply buffer cannot be had, as if the heap were exhausted; the
// flag clears itself. Lets a test drive the out-of-memory path.
extern bool console_fail_next_alloc;

// Appends length bytes of text to the reply's data area; when they would not fit beside the
// text already there, the reply is first written as "DF" and emptied.
void add_to_console_io_buffer(int fd, char *reply, const char *text, int length);

#endif // SERVER_CONSOLE_H
