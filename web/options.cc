// tarrow-web: its command line, read into the options.
#include "web/options.h"

#include <arpa/inet.h>
#include <getopt.h>

#include <cstdio>

#include "common/console_client.h"
#include "common/record.h"

static const char USAGE[] =
    "usage: tarrow-web [-a address[:port] ...] [-p port] [-i seconds] [--listen address:port]\n"
    "                  [--host-name name ...] [--users-file file [--require-note]]\n"
    "                  [--link name=url-template ...] [--log-dir directory]\n"
    "                  [--auth-header name --trusted-proxy address[/bits] ...]\n"
    "                  [--tls-cert file --tls-key file]\n"
    "       tarrow-web --help | --version\n";

static constexpr int EXIT_USAGE = 2;

static int
usage_error(const std::string &what)
{
    fprintf(stderr, "tarrow-web: %s\n%s", what.c_str(), USAGE);
    return EXIT_USAGE;
}

// Splits "address:port" or "[address]:port"; false when it is neither with a numeric address.
static bool
parse_listen(const std::string &arg, web_options &o)
{
    std::string host, port;
    if (!text_split_host_port(arg, host, port))
        return false;
    o.listen_v6 = arg[0] == '[';
    struct in6_addr a6;
    struct in_addr a4;
    if (o.listen_v6 ? inet_pton(AF_INET6, host.c_str(), &a6) != 1
                    : inet_pton(AF_INET, host.c_str(), &a4) != 1)
        return false;
    if (!console_parse_int(port.c_str(), 0, 65535, o.listen_port))
        return false;
    o.listen_host = host;
    return true;
}

int
web_parse_options(int argc, char **argv, web_options &opt)
{
    enum { OPT_LISTEN = 256, OPT_USERS, OPT_CERT, OPT_KEY, OPT_HOST_NAME, OPT_LINK,
           OPT_REQUIRE_NOTE, OPT_AUTH_HEADER, OPT_TRUSTED, OPT_LOG_DIR, OPT_HELP, OPT_VERSION };
    static const struct option longopts[] = {
        {"link", required_argument, nullptr, OPT_LINK},
        {"require-note", no_argument, nullptr, OPT_REQUIRE_NOTE},
        {"log-dir", required_argument, nullptr, OPT_LOG_DIR},
        {"auth-header", required_argument, nullptr, OPT_AUTH_HEADER},
        {"trusted-proxy", required_argument, nullptr, OPT_TRUSTED},
        {"listen", required_argument, nullptr, OPT_LISTEN},
        {"host-name", required_argument, nullptr, OPT_HOST_NAME},
        {"users-file", required_argument, nullptr, OPT_USERS},
        {"tls-cert", required_argument, nullptr, OPT_CERT},
        {"tls-key", required_argument, nullptr, OPT_KEY},
        {"help", no_argument, nullptr, OPT_HELP},
        {"version", no_argument, nullptr, OPT_VERSION},
        {nullptr, 0, nullptr, 0},
    };
    opterr = 0;
    int c;
    std::vector<std::string> board_args;
    while ((c = getopt_long(argc, argv, ":a:p:i:", longopts, nullptr)) != -1) {
        switch (c) {
        case 'a':
            board_args.push_back(optarg);
            break;
        case OPT_HOST_NAME:
            if (!text_address(optarg))
                return usage_error(std::string("invalid --host-name '") + optarg +
                                   "': expected a host name or an address");
            opt.host_names.push_back(optarg);
            break;
        case 'p':
            if (!console_parse_int(optarg, 1, 65535, opt.port))
                return usage_error(std::string("invalid port '") + optarg + "'");
            break;
        case 'i':
            if (!console_parse_int(optarg, 1, 3600, opt.interval))
                return usage_error(std::string("invalid interval '") + optarg + "'");
            break;
        case OPT_LISTEN:
            if (!parse_listen(optarg, opt))
                return usage_error(std::string("invalid --listen '") + optarg +
                                   "': expected ADDRESS:PORT or [IPv6-ADDRESS]:PORT");
            break;
        case OPT_LINK: {
            web_link l;
            if (!parse_link(optarg, l))
                return usage_error(std::string("invalid --link '") + optarg +
                                   "': expected NAME=http(s)://... with {host} and {key}");
            opt.links.push_back(l);
            break;
        }
        case OPT_AUTH_HEADER:
            opt.auth_header = optarg;
            if (opt.auth_header.empty() ||
                opt.auth_header.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                                                  "0123456789-_") != std::string::npos)
                return usage_error(std::string("invalid --auth-header '") + optarg + "'");
            break;
        case OPT_TRUSTED: {
            net_range r;
            if (!parse_range(optarg, r))
                return usage_error(std::string("invalid --trusted-proxy '") + optarg +
                                   "': expected ADDRESS or ADDRESS/BITS");
            opt.trusted.push_back(r);
            break;
        }
        case OPT_LOG_DIR:
#ifdef TARROW_WEB_HISTORY
            opt.log_dir = optarg;
            break;
#else
            return usage_error("--log-dir: this tarrow-web was built without tarrow-history");
#endif
        case OPT_REQUIRE_NOTE:
            opt.require_note = true;
            break;
        case OPT_USERS:
            opt.users_file = optarg;
            break;
        case OPT_CERT:
            opt.tls_cert = optarg;
            break;
        case OPT_KEY:
            opt.tls_key = optarg;
            break;
        case OPT_HELP:
            fputs(USAGE, stdout);
            return 0;
        case OPT_VERSION:
            printf("tarrow-web %s\n", application_version);
            return 0;
        case ':':
            return usage_error(std::string("option '") + argv[optind - 1] + "' needs a value");
        default:
            return usage_error(std::string("unknown option '") + argv[optind - 1] + "'");
        }
    }
    // The boards, once -p has given the port of those without one.
    const int default_port = opt.port;
    for (std::size_t i = 0; i < board_args.size(); i++) {
        board_place b;
        std::string error;
        if (!parse_board(board_args[i], default_port, b, error))
            return usage_error("invalid address '" + board_args[i] +
                               "': expected a host name, an IPv4 or an IPv6 address, with "
                               "[IPv6]:PORT or ADDRESS:PORT for a port of its own");
        b.label = board_label(i);
        if (i == 0) {
            opt.address = b.address;
            opt.port = b.port;
        }
        if (board_args.size() > 1)
            opt.boards.push_back(b);
    }
    if (optind < argc)
        return usage_error(std::string("unexpected argument '") + argv[optind] + "'");
    if (opt.tls_cert.empty() != opt.tls_key.empty())
        return usage_error("--tls-cert and --tls-key go together");
    if (opt.auth_header.empty() != opt.trusted.empty())
        return usage_error("--auth-header and --trusted-proxy go together");
    return -1;
}
