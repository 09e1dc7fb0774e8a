// What the console client's own files share: the exchange under one deadline that paged
// fetches spread over many requests, and the reading of the server's %XX escapes. Callers of
// the client include common/console_client.h only.
#ifndef COMMON_CONSOLE_INTERNAL_H
#define COMMON_CONSOLE_INTERNAL_H

#include <string>
#include <string_view>

#include "common/console_client.h"

// console_exchange with an absolute deadline (monotonic_ms) for the request and all its
// replies.
console_result console_exchange_until(console_conn &c, const alert_record &request,
                                      long deadline);
// The value of a hexadecimal digit, either case; -1 for any other character.
int console_hex_value(char c);
// The text with its %XX escapes turned back into bytes; a '%' not followed by two hex digits
// stays as it is.
std::string console_unescape(std::string_view s);

#endif // COMMON_CONSOLE_INTERNAL_H
