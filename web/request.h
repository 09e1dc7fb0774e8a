// tarrow-web: what the JSON bodies of the requests that change something ask for, read apart
// from the HTTP server so that every body is read one way.
#ifndef WEB_REQUEST_H
#define WEB_REQUEST_H

#include <string>
#include <string_view>

// The body of POST /api/v1/ack, /unack and /delete: the alert as the JSON of the board shows
// its host and key, and for an acknowledgement an optional note (cut to the note's width) and
// expiry (seconds since the epoch; 0 for none).
struct act_request {
    std::string host, key, note;
    long long until = 0;
};
// Reads an action's body. False with error for the client when it names no alert.
bool act_request_parse(std::string_view body, act_request &out, std::string &error);

// The body of POST /api/v1/login. False when it lacks the name or the token as strings.
bool login_request_parse(std::string_view body, std::string &name, std::string &token);

#endif // WEB_REQUEST_H
