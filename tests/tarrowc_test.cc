// tarrowc end to end: each command against a running tarrowd, alerts raised with flicket.
#include <gtest/gtest.h>

#include <unistd.h>

#include <climits>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace {

// The host name flicket sends: the first 15 characters of the local one.
std::string
local_host()
{
    char name[HOST_NAME_MAX + 1] = {};
    gethostname(name, sizeof name - 1);
    return std::string(name).substr(0, 15);
}

std::string
pad(const std::string &s, std::size_t n)
{
    return s + std::string(n > s.size() ? n - s.size() : 0, ' ');
}

class tarrowc_e2e : public ::testing::Test {
protected:
    temp_dir dir;
    server_proc srv;
    std::string host = local_host();

    void SetUp() override
    {
        srv = start_server(dir.path);
        ASSERT_GT(srv.port, 0) << read_log(dir.path);
    }
    void TearDown() override { EXPECT_EQ(stop_server(srv), 0); }

    void raise(const std::string &severity, const std::string &key, const std::string &text)
    {
        run_result r = run_program(
            {flicket_path(), std::to_string(srv.port), "127.0.0.1", severity, key, text});
        ASSERT_EQ(r.status, 0) << r.out;
        // flicket closes at once; wait until the server has logged the alert.
        ASSERT_TRUE(wait_for_log(dir.path, pad(key, 14) + " Y " + text.substr(0, 20)));
    }
    run_result tarrowc(std::vector<std::string> args)
    {
        args.insert(args.begin(), {tarrowc_path(), "-p", std::to_string(srv.port)});
        return run_program(args);
    }
};

} // namespace

TEST_F(tarrowc_e2e, list_prints_every_alert_whole)
{
    run_result r = tarrowc({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "no alerts at present\n");
    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");

    raise("critical", "DISK01", "disk full on /var");
    raise("warning", "LOAD", "load high");
    std::string long_text(100, 'L');   // a line longer than the server's 127
    raise("info", "NOTE", long_text);
    r = tarrowc({"list"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines;
    for (std::size_t at = 0; at < r.out.size();) {
        std::size_t nl = r.out.find('\n', at);
        lines.push_back(r.out.substr(at, nl - at));
        at = nl + 1;
    }
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].substr(14), "  " + pad(host, 15) + " " + pad("DISK01", 14) +
                                       " AC  disk full on /var");
    EXPECT_EQ(lines[1].substr(14), "  " + pad(host, 15) + " " + pad("LOAD", 14) + " AW  load high");
    EXPECT_EQ(lines[2].substr(14), "  " + pad(host, 15) + " " + pad("NOTE", 14) + " IO  " + long_text);

    r = tarrowc({"list", "--tsv"});
    EXPECT_EQ(r.status, 0);
    std::size_t tab = r.out.find('\t');
    ASSERT_EQ(tab, 14u);
    EXPECT_EQ(r.out.substr(tab, r.out.find('\n') - tab), "\t" + host + "\tDISK01\tAC\tdisk full on /var");
    EXPECT_NE(r.out.find("\tNOTE\tIO\t" + long_text + "\n"), std::string::npos);
}

TEST_F(tarrowc_e2e, show_ack_delete_and_missing_alerts)
{
    raise("critical", "K1", "first");
    raise("warning", "K2", "second");
    raise("critical", "K3", "third");
    raise("critical", "K4", "fourth");

    run_result r = tarrowc({"show", host, "K1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.substr(0, 6 + 15), "HOST: " + pad(host, 15));
    EXPECT_NE(r.out.find("\nKEY: K1            \nMSGTYPE AC     PERSISTENT Y\nMSGTEXT: first\n"),
              std::string::npos)
        << r.out;

    r = tarrowc({"ack", host, "K1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "acknowledged " + host + " K1\n");
    EXPECT_NE(tarrowc({"list", "--tsv"}).out.find("\tK1\tAK\tfirst\n"), std::string::npos);

    r = tarrowc({"delete", host, "K2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "deleted " + host + " K2\n");
    EXPECT_EQ(tarrowc({"list", "--tsv"}).out.find("\tK2\t"), std::string::npos);

    // Through K3: K1 and K3 go, K4 stays.
    r = tarrowc({"delete-through", host, "K3"});
    EXPECT_EQ(r.status, 0) << r.err;
    std::string listed = tarrowc({"list", "--tsv"}).out;
    EXPECT_EQ(listed.find("\tK1\t"), std::string::npos) << listed;
    EXPECT_EQ(listed.find("\tK3\t"), std::string::npos) << listed;
    EXPECT_NE(listed.find("\tK4\t"), std::string::npos) << listed;
    EXPECT_TRUE(wait_for_log(dir.path, "AINF: 2 alerts KK deleted, 2 recovered by compress\n"));

    // Every command on a missing alert: "no such alert", status 1, nothing done.
    std::string before = read_log(dir.path);
    for (const char *cmd : {"show", "ack", "delete", "delete-through"}) {
        r = tarrowc({cmd, host, "GONE"});
        EXPECT_EQ(r.status, 1) << cmd;
        EXPECT_EQ(r.err, "tarrowc: no such alert: " + host + " GONE\n") << cmd;
        EXPECT_EQ(r.out, "") << cmd;
    }
    EXPECT_EQ(read_log(dir.path).find("CONSOLE COMMAND", before.size()), std::string::npos);
}

TEST_F(tarrowc_e2e, usage_and_connection_errors)
{
    struct {
        std::vector<std::string> args;
        int status;
        std::string out_prefix, err_prefix;
    } cases[] = {
        {{tarrowc_path(), "--version"}, 0, "tarrowc 1.0.2\n", ""},
        {{tarrowc_path(), "--help"}, 0, "usage: tarrowc", ""},
        {{tarrowc_path(), "frobnicate"}, 2, "", "tarrowc: unknown command 'frobnicate'\nusage:"},
        {{tarrowc_path(), "show", "onlyhost"}, 2, "", "tarrowc: wrong number of arguments"},
        {{tarrowc_path(), "-p", "99999", "list"}, 2, "", "tarrowc: invalid port '99999'"},
        {{tarrowc_path(), "-p"}, 2, "", "tarrowc: option -p needs a value"},
        {{tarrowc_path(), "-x", "list"}, 2, "", "tarrowc: unknown option -x"},
        {{tarrowc_path(), "-a", "localhost", "list"}, 2, "",
         "tarrowc: invalid address 'localhost': expected a dotted IPv4 address\n"},
        {{tarrowc_path(), "-p", "1"}, 2, "", "tarrowc: watch needs a terminal"},
        {{tarrowc_path(), "-a", "127.0.0.1", "-p", "1", "ack", "h", "k"}, 2, "",
         "tarrowc: cannot connect to 127.0.0.1 port 1: Connection refused\n"},
    };
    for (const auto &c : cases) {
        run_result r = run_program(c.args);
        EXPECT_EQ(r.status, c.status) << c.args.back() << r.err;
        EXPECT_EQ(r.out.substr(0, c.out_prefix.size()), c.out_prefix) << c.args.back();
        EXPECT_EQ(r.err.substr(0, c.err_prefix.size()), c.err_prefix) << c.args.back();
    }
}
