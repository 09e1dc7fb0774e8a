// Field helpers shared by the server and the sender tools, each working in place, and the
// write of a file region they share.
#ifndef COMMON_FIELDS_H
#define COMMON_FIELDS_H

#include <sys/types.h>

#include <cstddef>
#include <string_view>

// Newlines become '^' in the first min(strlen(text), n) bytes.
void translate_nl_to_hat(char *text, int n);
// '^' becomes a newline in the first min(strlen(text), n) bytes.
void translate_hat_to_nl(char *text, int n);
// n zero bytes.
void zero_data_field(char *area, int n);
// The n low-order decimal digits of value, right-aligned, no terminator.
void number_to_string(char *area, int value, int n);
// n - 1 digits and a zero byte; a lone zero byte when n <= 1.
void number_to_string_with_null(char *area, int value, int n);
// Makes field a text field of width n: content up to a zero or newline byte, cut at n,
// spaces to n, and a zero byte at field[n].
void space_fill_string(char *field, int n);
// Local time as "YYYYMMDD HH:MM" and a zero byte (15 bytes).
void set_datestamp(char *dest);
// Space-fills the six header text fields of an alert request buffer or console reply.
void pad_header_fields(char *record);
// Copies the text to out with the bytes that could be read as structure in a reply's data
// ('%', '^', tab, control and non-ASCII bytes) as %XX, two upper-case hex digits. Returns the
// bytes written (at most three times the text's).
std::size_t field_escape(char *out, std::string_view text);
// Writes all of len bytes at off of the file fd (a short write goes on, an interrupted one is
// tried again); false with errno set.
bool write_all_at(int fd, const char *p, std::size_t len, off_t off);

#endif // COMMON_FIELDS_H
