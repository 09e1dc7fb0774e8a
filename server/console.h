// Console requests: the parts of console.cc that the unit tests reach besides server.h.
#ifndef SERVER_CONSOLE_H
#define SERVER_CONSOLE_H

// When set, the next console reply buffer cannot be had, as if the heap were exhausted; the
// flag clears itself. Lets a test drive the out-of-memory path.
extern bool console_fail_next_alloc;

#endif // SERVER_CONSOLE_H
