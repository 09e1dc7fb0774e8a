// tarrow-web: its command line.
#ifndef WEB_OPTIONS_H
#define WEB_OPTIONS_H

#include <string>
#include <vector>

#include "web/auth.h"
#include "web/view.h"

struct web_options {
    std::string address = "127.0.0.1";     // the board
    int port = 9003;
    std::vector<board_place> boards;        // two or more boards shown as one (-a repeated)
    int interval = 1;                       // seconds between polls
    std::string listen_host = "127.0.0.1";  // where the browsers come
    int listen_port = 9004;
    bool listen_v6 = false;
    std::string users_file, tls_cert, tls_key;
    std::vector<std::string> host_names;    // the Host values served
    bool require_note = false;              // an acknowledgement must carry a note
    std::string auth_header;                // names the operator, from a trusted proxy
    std::vector<net_range> trusted;         // the proxies
    std::vector<web_link> links;            // shown with each alert
    std::string log_dir;                    // tarrowd's daily logs, for the alerts' history
};

// Reads the command line into opt. -1 to go on; otherwise the status to exit with, after
// --help or --version (0) or a message on standard error (2).
int web_parse_options(int argc, char **argv, web_options &opt);

#endif // WEB_OPTIONS_H
