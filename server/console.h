// Console requests: the parts of console.cc that the unit tests reach besides server.h.
#ifndef SERVER_CONSOLE_H
#define SERVER_CONSOLE_H

#include <cstddef>
#include <string_view>

// When set, the next console reply buffer cannot be had, as if the heap were exhausted; the
// flag clears itself. Lets a test drive the out-of-memory path.
extern bool console_fail_next_alloc;

// Queues the reply, its data text text_len bytes long and already free of newlines, as one
// 4184-byte record (reply_wanted 'N' on the wire, datetime stamped now).
void send_console_reply(int fd, char *reply, int text_len);

// Carries out a board request (whole listing, waiting records, summary) into reply, whose
// header is the request's: full replies leave on the way as "DF", the last one is left in
// reply for the caller to write. False when the request is none of them.
bool board_request(int fd, const char *request, char *reply);

// Carries out a console action read back from the overflow file ("AD", "AN", "UA", with who
// in the record), as it would have been when it arrived.
void console_replay(char *record);

#endif // SERVER_CONSOLE_H
