// Black-box tests of sievel-act against scripted boards on 127.0.0.1: the records it sends,
// pipelining, its queue while a board is away, the drop order, two boards, the exit status
// and the user functions.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "common/record.h"
#include "tests/harness.h"

namespace {

const std::string ACT = std::string(BIN_DIR) + "/sievel-act";

long
now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void
sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A board played by the test: a port on 127.0.0.1 that refuses connections until up() and
// again after down(), and while up keeps every record it reads and ACKs it (once at least
// hold_acks records have arrived, when that is set). The faults a board can show: ACKs that
// stop after ack_limit in all, a connection closed once it brought close_after records (none
// of them ACKed), connections closed as soon as they come (close_at_accept of them), and a
// board that stops reading while paused, with a small receive buffer (rcvbuf, before up()).
struct fake_board {
    int port = 0;
    std::size_t hold_acks = 0;
    std::atomic<std::size_t> ack_limit{SIZE_MAX};
    std::atomic<std::size_t> close_after{0};
    std::atomic<int> close_at_accept{0};
    std::atomic<bool> paused{false};
    int rcvbuf = 0;
    std::mutex m;
    std::vector<std::string> records;
    int connections = 0;

    fake_board()
    {
        // Bound, not listening: connects are refused, and the port stays ours.
        lfd = bound_socket(0);
    }
    ~fake_board() { down(); }

    void up()
    {
        if (lfd < 0)
            lfd = bound_socket(port);
        if (rcvbuf > 0)
            setsockopt(lfd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
        ASSERT_EQ(listen(lfd, 8), 0);
        stop = false;
        th = std::thread([this] { serve(); });
    }

    // Closes the listener and the connection: the board is gone until up() again.
    void down()
    {
        stop = true;
        if (th.joinable())
            th.join();
        if (lfd >= 0)
            close(lfd);
        lfd = -1;
    }

    std::size_t count()
    {
        std::lock_guard<std::mutex> g(m);
        return records.size();
    }

    // Waits at most timeout_ms for n records in all; true when they came.
    bool wait_for(std::size_t n, int timeout_ms = 5000)
    {
        long end = now_ms() + timeout_ms;
        while (count() < n && now_ms() < end)
            sleep_ms(10);
        return count() >= n;
    }

    std::vector<std::string> keys()
    {
        std::lock_guard<std::mutex> g(m);
        std::vector<std::string> k;
        for (const std::string &r : records)
            k.push_back(trimmed(r, OFF_KEY, LEN_KEY));
        return k;
    }

    static std::string trimmed(const std::string &r, std::size_t off, std::size_t len)
    {
        std::string s = r.substr(off, len);
        s.erase(s.find_last_not_of(' ') + 1);
        return s;
    }

private:
    int lfd = -1;
    std::atomic<bool> stop{false};
    std::thread th;

    int bound_socket(int want)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        struct sockaddr_in sa {};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        sa.sin_port = htons(static_cast<uint16_t>(want));
        socklen_t len = sizeof sa;
        if (bind(fd, reinterpret_cast<sockaddr *>(&sa), len) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
            close(fd);
            return -1;
        }
        port = ntohs(sa.sin_port);
        return fd;
    }

    void serve()
    {
        int cfd = -1;
        std::string in;
        std::size_t acked = 0, first = 0, acks_sent = 0;
        while (!stop) {
            struct pollfd p = {cfd >= 0 ? cfd : lfd, POLLIN, 0};
            if ((cfd >= 0 && paused) || poll(&p, 1, 20) <= 0) {
                if (paused)
                    sleep_ms(5);
                continue;
            }
            if (cfd < 0) {
                cfd = accept(lfd, nullptr, nullptr);
                std::lock_guard<std::mutex> g(m);
                if (cfd >= 0)
                    ++connections;
                if (cfd >= 0 && close_at_accept > 0) {
                    --close_at_accept;
                    close(cfd);
                    cfd = -1;
                }
                in.clear();
                acked = first = records.size();    // ACKs only for what this connection brings
                continue;
            }
            char buf[8192];
            ssize_t n = read(cfd, buf, sizeof buf);
            if (n <= 0) {
                close(cfd);
                cfd = -1;
                continue;
            }
            in.append(buf, static_cast<std::size_t>(n));
            std::size_t total;
            {
                std::lock_guard<std::mutex> g(m);
                for (; in.size() >= ALERT_RECORD_SIZE; in.erase(0, ALERT_RECORD_SIZE))
                    records.push_back(in.substr(0, ALERT_RECORD_SIZE));
                total = records.size();
            }
            if (close_after > 0 && total - first >= close_after) {
                close_after = 0;
                close(cfd);
                cfd = -1;
                continue;
            }
            // ACKs for what this connection brought, unless they are held back.
            std::string acks;
            for (; acked < total && total >= hold_acks && acks_sent < ack_limit;
                 ++acked, ++acks_sent) {
                std::string ack(ALERT_RECORD_SIZE, '\0');
                ack[OFF_MSGTYPE] = '-';
                ack[OFF_MSGTYPE + 1] = '-';
                ack[OFF_ALERT_NEWLINE] = '\n';
                acks += ack;
            }
            if (!acks.empty())
                send_all(cfd, acks);
        }
        if (cfd >= 0)
            close(cfd);
    }
};

// sievel-act with a pipe on its standard input; its standard error goes to a file. Killed
// when the test ends, also early.
struct act_proc {
    pid_t pid = -1;
    int in = -1;
    std::string err_path;

    act_proc(const std::string &dir, const std::vector<std::string> &args)
    {
        err_path = dir + "/act.err";
        int p[2];
        // Close-on-exec: no other child may hold our end open and keep the input from ending.
        if (pipe2(p, O_CLOEXEC) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            dup2(p[0], 0);
            int e = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(e, 2);
            int o = open((dir + "/act.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(o, 1);
            close(p[1]);
            std::vector<char *> argv{const_cast<char *>(ACT.c_str())};
            for (const std::string &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(p[0]);
        in = p[1];
    }
    ~act_proc()
    {
        end_input();
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    void write_lines(const std::string &s) { ASSERT_TRUE(send_all(in, s)); }
    void end_input()
    {
        if (in >= 0)
            close(in);
        in = -1;
    }
    // Exit status, -1 when it did not end within timeout_ms.
    int finish(int timeout_ms = 10000)
    {
        end_input();
        int st = wait_exit(pid, timeout_ms);
        pid = -1;
        return st;
    }
    std::string err() const { return read_file(err_path); }
};

std::string
raises(int from, int to, const std::string &host = "h")
{
    std::string s;
    for (int i = from; i < to; ++i)
        s += "RAISE-ALERT K" + std::to_string(i) + " \"text " + std::to_string(i) + "\" " +
             host + "\n";
    return s;
}

std::string
board_arg(const fake_board &b)
{
    return "127.0.0.1:" + std::to_string(b.port);
}

std::string
field(const std::string &r, std::size_t off, std::size_t len)
{
    return fake_board::trimmed(r, off, len);
}

std::string
text_of(const std::string &r)
{
    std::string t = r.substr(OFF_MSGTEXT, LEN_MSGTEXT);
    return t.substr(0, strnlen(t.data(), t.size()));
}

TEST(sievel_act, records_carry_each_lines_host_key_and_text)
{
    temp_dir dir;
    fake_board b;
    b.up();
    char me[256] = {};
    gethostname(me, sizeof me - 1);
    std::string long_text(150, 'x'), words;
    for (int i = 0; i < 30; ++i)
        words += "abcd ";
    const std::string input =
        "RAISE-ALERT DISKFULL \"No space left on device\" web1\n"
        "CANCEL-ALERT K1 \"he said \"stop\" now\" \" \n"
        "RAISE-ALERT SEGV \"app[12]: segfault at 0 \\\\n\r\" db2\n"
        "RAISE-ALERT -rf \"$(rm -rf /); `id` | x > /tmp/y & -n\" --help\n"
        "RAISE-ALERT KEY_LONGER_THAN_14 \"" + long_text + "\" host-name-longer-than-15\n"
        "garbage\n"
        "RAISE-ALERT\n"
        "RAISE-ALERT KEY no quotes host\n"
        "RAISE-ALERT  \"text\" host\n"
        "USERFUNC-9 K \"t\" h\n"
        "\n"
        "RAISE-ALERT SSH \"web3  sshd[1]: Failed password\" web3 info\n"
        "CANCEL-ALERT WORDS \"" + words + "\" web4\n"
        "RAISE-ALERT LOUD \"web50 is not web5\" web5 loud\n"
        "RAISE-ALERT LAST \"no newline\" h9";
    run_result r = run_program({ACT, "-s", "warning", "--board", board_arg(b)}, dir.path, {},
                               10000, input);
    // Lines that are no action lines are shown as they are, and make the status 1.
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "garbage\n"
                     "sievel-act: line 7: malformed action line, skipped: RAISE-ALERT\n"
                     "sievel-act: line 8: malformed action line, skipped: RAISE-ALERT KEY no "
                     "quotes host\n"
                     "sievel-act: line 9: malformed action line, skipped: RAISE-ALERT  "
                     "\"text\" host\n"
                     "USERFUNC-9 K \"t\" h\n"
                     "\n"
                     "sievel-act: line 14: unknown severity loud, the -s one used\n");
    ASSERT_EQ(b.count(), 9u);
    struct want {
        std::string host, key, msgtype, text;
    };
    const want wants[] = {
        {"web1", "DISKFULL", "AW", "No space left on device"},
        {std::string(me).substr(0, LEN_HOSTNAME), "K1", "AK", "he said \"stop\" now\" "},
        {"db2", "SEGV", "AW", "app[12]: segfault at 0 \\\\n"},
        {"--help", "-rf", "AW", "$(rm -rf /); `id` | x > /tmp/y & -n"},
        // A text longer than the field ends at a word, with "..."; one long word is cut.
        {"host-name-longe", "KEY_LONGER_THA", "AW", long_text.substr(0, 97) + "..."},
        // The line's own severity; the host left out of the text that begins with it.
        {"web3", "SSH", "IO", "sshd[1]: Failed password"},
        {"web4", "WORDS", "AK", words.substr(0, 94) + "..."},
        {"web5", "LOUD", "AW", "web50 is not web5"},
        {"h9", "LAST", "AW", "no newline"},
    };
    for (std::size_t i = 0; i < 9; ++i) {
        const std::string &rec = b.records[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(rec.substr(OFF_PRODUCTID, 8), "GENALERT");
        EXPECT_EQ(field(rec, OFF_HOSTNAME, LEN_HOSTNAME), wants[i].host);
        EXPECT_EQ(field(rec, OFF_KEY, LEN_KEY), wants[i].key);
        EXPECT_EQ(rec.substr(OFF_MSGTYPE, 2), wants[i].msgtype);
        EXPECT_EQ(rec[OFF_REPLY_WANTED], 'Y');
        EXPECT_EQ(text_of(rec), wants[i].text);
        EXPECT_EQ(rec.substr(OFF_MSGTEXT_LENGTH, 4),
                  std::string(4 - std::to_string(wants[i].text.size()).size(), '0') +
                      std::to_string(wants[i].text.size()));
        EXPECT_EQ(rec[OFF_KEY + LEN_KEY], '\0');
        EXPECT_EQ(rec[OFF_ALERT_NEWLINE], '\n');
    }
}

TEST(sievel_act, pipelines_records_without_waiting_for_each_ack)
{
    temp_dir dir;
    fake_board b;
    // No ACK until all 50 records are in: one record at a time would never get there.
    b.hold_acks = 50;
    b.up();
    act_proc act(dir.path, {"--drain", "3", "--board", board_arg(b)});
    act.write_lines(raises(0, 50));
    EXPECT_TRUE(b.wait_for(50, 3000)) << b.count() << " records before any ACK";
    EXPECT_EQ(act.finish(), 0) << act.err();
    EXPECT_EQ(act.err(), "");
    EXPECT_EQ(b.connections, 1);
}

// Waits at most timeout_ms for pred; true when it came true.
template <typename F>
bool
wait_until(F pred, int timeout_ms = 5000)
{
    for (long end = now_ms() + timeout_ms; !pred(); sleep_ms(10))
        if (now_ms() >= end)
            return pred();
    return true;
}

// True when keys, as received, are 0..n-1 in order, a record sent again after a lost ACK
// only ever repeating ones that came before.
void
expect_in_order(const std::vector<std::string> &keys, int n)
{
    int next = 0;
    for (const std::string &k : keys) {
        int v = std::stoi(k.substr(1));
        ASSERT_LE(v, next) << "K" << next << " skipped";
        if (v == next)
            ++next;
    }
    EXPECT_EQ(next, n);
}

TEST(sievel_act, board_stopping_mid_stream_loses_nothing_and_keeps_order)
{
    temp_dir dir;
    fake_board b;
    b.up();
    act_proc act(dir.path, {"--board", board_arg(b)});
    act.write_lines(raises(0, 200));
    ASSERT_TRUE(b.wait_for(200));
    b.down();
    act.write_lines(raises(200, 400));
    // Up again once sievel-act has found the board gone and is retrying.
    for (long end = now_ms() + 15000; act.err().find("retrying") == std::string::npos &&
                                      now_ms() < end;)
        sleep_ms(20);
    b.up();
    act.write_lines(raises(400, 600));
    EXPECT_EQ(act.finish(), 0) << act.err();
    expect_in_order(b.keys(), 600);
    // The outage is reported once, and so is the return.
    std::string err = act.err();
    EXPECT_NE(err.find("retrying"), std::string::npos) << err;
    EXPECT_NE(err.find("connected, sending"), std::string::npos) << err;
}

// The same rules for the queue in memory and in a spool (--spool-max bounds that one).
TEST(sievel_act, full_queue_drops_superseded_raises_then_the_oldest)
{
    for (bool spooled : {false, true}) {
        SCOPED_TRACE(spooled ? "spool" : "memory");
        temp_dir dir;
        fake_board b;
        std::vector<std::string> args = {"--queue", "4"};
        if (spooled)
            args = {"--spool", dir.path + "/spool", "--spool-max", "4"};
        args.insert(args.end(), {"--board", board_arg(b)});
        act_proc act(dir.path, args);
        // Full at E: A's first raise is superseded by its second and goes, C's clear stays
        // although C's raise follows it; at F nothing is superseded, so the oldest, C's clear,
        // goes.
        act.write_lines("CANCEL-ALERT C \"1\" h\n"
                        "RAISE-ALERT A \"2\" h\n"
                        "RAISE-ALERT A \"3\" h\n"
                        "RAISE-ALERT C \"4\" h\n"
                        "RAISE-ALERT E \"5\" h\n"
                        "RAISE-ALERT F \"6\" h\n");
        ASSERT_TRUE(wait_until([&] { return act.err().find("queue full") != std::string::npos; }));
        b.up();
        EXPECT_EQ(act.finish(), 1);
        std::vector<std::string> texts;
        for (const std::string &r : b.records)
            texts.push_back(text_of(r));
        EXPECT_EQ(texts, (std::vector<std::string>{"3", "4", "5", "6"}));
        std::string err = act.err();
        EXPECT_NE(err.find("dropped 1 superseded raises and 1 oldest records"), std::string::npos)
            << err;
        EXPECT_NE(err.find("2 records not delivered (0 still queued, 2 dropped"),
                  std::string::npos) << err;
    }
}

TEST(sievel_act, a_board_that_is_down_holds_up_only_itself)
{
    temp_dir dir;
    fake_board a, b;
    a.up();
    act_proc act(dir.path, {"--board", board_arg(a), "--board", board_arg(b)});
    act.write_lines(raises(0, 20));
    EXPECT_TRUE(a.wait_for(20, 2000));
    EXPECT_EQ(b.count(), 0u);
    b.up();
    EXPECT_TRUE(b.wait_for(20, 8000));
    EXPECT_EQ(act.finish(), 0) << act.err();
    EXPECT_EQ(a.keys(), b.keys());
}

TEST(sievel_act, drain_gives_up_and_says_what_was_not_delivered)
{
    temp_dir dir;
    fake_board b;     // never up
    long t0 = now_ms();
    run_result r = run_program({ACT, "--drain", "1", "-p", std::to_string(b.port)}, dir.path,
                               {}, 10000, raises(0, 3));
    EXPECT_EQ(r.status, 1);
    EXPECT_LT(now_ms() - t0, 4000);
    EXPECT_NE(r.err.find("board 127.0.0.1:" + std::to_string(b.port) +
                         ": 3 records not delivered (3 still queued"),
              std::string::npos) << r.err;
}

TEST(sievel_act, a_stop_signal_delivers_the_lines_already_in_the_pipe)
{
    temp_dir dir;
    fake_board b;
    act_proc act(dir.path, {"--board", board_arg(b)});
    // The lines are in the pipe, perhaps not yet read, when the signal comes: the log reader
    // has passed them on, so they must still reach the board.
    for (long end = now_ms() + 3000; act.err().empty() && now_ms() < end;)
        sleep_ms(10);    // running: it has found the board away
    // Held still while more lines than one read takes fill a large pipe: most of them are
    // unread when the signal is handled.
    ASSERT_GE(fcntl(act.in, F_SETPIPE_SZ, 1 << 20), 1 << 18);
    kill(act.pid, SIGSTOP);
    act.write_lines(raises(0, 5000));
    kill(act.pid, SIGTERM);
    kill(act.pid, SIGCONT);
    sleep_ms(300);
    b.up();
    EXPECT_EQ(act.finish(), 0) << act.err();
    expect_in_order(b.keys(), 5000);
}

void
write_script(const std::string &path, const std::string &body, mode_t mode = 0755)
{
    FILE *f = fopen(path.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs(("#!/bin/sh\n" + body).c_str(), f);
    fclose(f);
    chmod(path.c_str(), mode);
}

TEST(sievel_act, user_functions_get_their_arguments_and_never_block_the_alerts)
{
    temp_dir dir;
    std::string uf = dir.path + "/uf", calls = dir.path + "/calls";
    mkdir(uf.c_str(), 0755);
    // userfunc-1 reads its standard input: it must not get the action lines.
    write_script(uf + "/userfunc-1",
                 "cat >/dev/null\nfor a in \"$@\"; do printf '[%s]\\n' \"$a\"; done >>" + calls +
                     "\n");
    write_script(uf + "/userfunc-2", "sleep 1\necho done >>" + calls + ".slow\n");
    write_script(uf + "/userfunc-3", "sleep 30\n");
    write_script(uf + "/userfunc-4", "exit 0\n", 0644);     // not executable
    write_script(uf + "/userfunc-5", "exit 3\n");
    fake_board b;
    b.up();
    act_proc act(dir.path, {"-u", uf, "--userfunc-timeout", "1.5", "--board", board_arg(b)});
    long t0 = now_ms();
    act.write_lines("USERFUNC-1 -x \"$(id) `id`; a \"b\" c\r\" --host\n"
                    "USERFUNC-3 SLOW \"t\" h\n"
                    "USERFUNC-2 K \"t\" h\nUSERFUNC-2 K \"t\" h\nUSERFUNC-2 K \"t\" h\n"
                    "USERFUNC-2 K \"t\" h\n"
                    "USERFUNC-4 K \"t\" h\n"
                    "USERFUNC-5 K \"t\" h\n"
                    "RAISE-ALERT AFTER \"t\" h\n");
    // Four at once: the raise behind them is sent at once.
    EXPECT_TRUE(b.wait_for(1, 800));
    EXPECT_EQ(act.finish(), 0);
    long took = now_ms() - t0;
    std::string err = act.err();
    EXPECT_EQ(read_file(calls), "[-x]\n[$(id) `id`; a \"b\" c]\n[--host]\n");
    EXPECT_EQ(read_file(calls + ".slow"), "done\ndone\ndone\ndone\n");
    // The four slow ones run at most four at once beside the one that hangs: two rounds of
    // a second, and the hanging one is ended after 1.5 s.
    EXPECT_LT(took, 4000);
    EXPECT_NE(err.find("line 2: " + uf + "/userfunc-3 ran longer than 1.5 s for key SLOW, "
                       "killed"),
              std::string::npos) << err;
    EXPECT_NE(err.find("line 7: no executable " + uf + "/userfunc-4, USERFUNC-4 for key K "
                       "skipped"),
              std::string::npos) << err;
    EXPECT_NE(err.find("line 8: " + uf + "/userfunc-5 failed (status 3) for key K"),
              std::string::npos) << err;

    run_result r = run_program({ACT, "--board", board_arg(b)}, dir.path, {}, 5000,
                               "USERFUNC-2 RUN \"x\" h\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "sievel-act: line 1: no -u directory given, USERFUNC-2 for key RUN "
                     "skipped\n");
}

TEST(sievel_act, options_are_checked_before_a_line_is_read)
{
    temp_dir dir;
    fake_board b;
    b.up();
    const std::string board = board_arg(b);
    struct bad_case {
        std::vector<std::string> args;
        std::string err;
    };
    const bad_case cases[] = {
        {{"-s", "Warning", "--board", board}, "sievel-act: unknown severity Warning"},
        {{"-u", dir.path + "/none", "--board", board},
         "sievel-act: user function directory " + dir.path + "/none: No such file"},
        {{"-p", "0"}, "Illegal port number: 0\n"},
        {{"-p", "65536"}, "Illegal port number: 65536\n"},
        {{"-p", "90x3"}, "Illegal port number: 90x3\n"},
        {{"--board", "127.0.0.1:"}, "Illegal port number: \n"},
        {{"-a", "999.1.1.1"}, "Improperly formatted network address, 999.1.1.1\n"},
        {{"-a", "127.0.1"}, "Improperly formatted network address, 127.0.1\n"},
        {{"--board", "127.0.0.1"},
         "sievel-act: --board 127.0.0.1: the port is missing (ADDRESS:PORT)\n"},
        {{"--board", "::1:9003"},
         "sievel-act: --board ::1:9003: an IPv6 address goes in brackets ([ADDRESS]:PORT)\n"},
        {{"--board", board, "--queue", "0"}, "sievel-act: --queue takes"},
        {{"--board", board, "extra"}, "usage: sievel-act"},
    };
    for (const bad_case &c : cases) {
        std::vector<std::string> argv{ACT};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        run_result r = run_program(argv, dir.path, {}, 5000, raises(0, 1));
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
    EXPECT_EQ(b.count(), 0u);

    // Names, IPv4 and IPv6 in brackets all reach a board; ::1 only where it is configured.
    int v6 = socket(AF_INET6, SOCK_STREAM, 0);
    struct sockaddr_in6 sa6 {};
    sa6.sin6_family = AF_INET6;
    sa6.sin6_addr = in6addr_loopback;
    bool have_v6 = bind(v6, reinterpret_cast<sockaddr *>(&sa6), sizeof sa6) == 0;
    close(v6);
    // A name's addresses are tried in turn without a word (localhost may be ::1 first).
    for (const std::string &g : {"localhost:" + std::to_string(b.port), board}) {
        run_result r = run_program({ACT, "--drain", "5", "--board", g}, dir.path, {}, 8000,
                                   raises(0, 1));
        EXPECT_EQ(r.status, 0) << g << ": " << r.err;
        EXPECT_EQ(r.err, "") << g;
    }
    EXPECT_EQ(b.count(), 2u);
    if (have_v6) {
        // Nothing listens on port 1: the form is read, and the board named in the report.
        run_result r = run_program({ACT, "--drain", "0", "--board", "[::1]:1"}, dir.path, {},
                                   5000, raises(0, 1));
        EXPECT_NE(r.err.find("board [::1]:1: 1 records not delivered"), std::string::npos)
            << r.err;
    }
    run_result h = run_program({ACT, "--help"});
    EXPECT_EQ(h.out.rfind("usage: sievel-act ", 0), 0u);
    EXPECT_EQ(run_program({ACT, "--version"}).out, "sievel-act 1.0.2\n");
}

} // namespace

namespace {

// "K<from>" to "K<to - 1>", the keys of raises(from, to).
std::vector<std::string>
key_range(int from, int to)
{
    std::vector<std::string> k;
    for (int i = from; i < to; ++i)
        k.push_back("K" + std::to_string(i));
    return k;
}

TEST(sievel_act, records_in_flight_are_sent_again_on_a_new_connection)
{
    struct fault {
        const char *name;
        std::size_t close_after, ack_limit;
        std::vector<std::string> args;
        std::string err;        // what sievel-act says about the lost connection
    } faults[] = {
        {"closes", 3, SIZE_MAX, {}, "connection closed by the board"},
        {"never answers", 0, 0, {"--ack-timeout", "0.3"}, "no acknowledgement for 0.3 s"},
    };
    for (const fault &f : faults) {
        SCOPED_TRACE(f.name);
        temp_dir dir;
        fake_board b;
        b.close_after = f.close_after;
        b.ack_limit = f.ack_limit;
        b.up();
        std::vector<std::string> args = f.args;
        args.insert(args.end(), {"--board", board_arg(b)});
        act_proc act(dir.path, args);
        act.write_lines(raises(0, 3));
        ASSERT_TRUE(wait_until([&] { return act.err().find(f.err) != std::string::npos; }))
            << act.err();
        b.ack_limit = SIZE_MAX;
        EXPECT_EQ(act.finish(), 0) << act.err();
        std::vector<std::string> want = key_range(0, 3);
        want.insert(want.end(), {"K0", "K1", "K2"});
        EXPECT_EQ(b.keys(), want);
        EXPECT_EQ(b.connections, 2);
    }
}

// One outage doubles the wait between attempts; the ACKs after it bring it back to the
// first step, so the next outage is over as soon as the board is.
TEST(sievel_act, an_ack_resets_the_back_off)
{
    temp_dir dir;
    fake_board b;
    b.close_at_accept = 3;      // attempts after 0, 0.2 and 0.6 s; the wait is 1.6 s by then
    b.up();
    act_proc act(dir.path, {"--board", board_arg(b)});
    act.write_lines(raises(0, 1));
    ASSERT_TRUE(b.wait_for(1, 5000));
    b.close_after = 1;          // the next record ends its connection, unACKed
    long t0 = now_ms();
    act.write_lines(raises(1, 2));
    ASSERT_TRUE(b.wait_for(3, 5000));
    EXPECT_LT(now_ms() - t0, 1000) << "a new connection only after " << now_ms() - t0 << " ms";
    EXPECT_EQ(act.finish(), 0) << act.err();
}

// Records in the socket's buffers cannot be taken back: when the queue is full, the record
// half written stays and is finished, and only whole records are dropped. The queue is
// larger than what the socket buffers of a stalled board take (up to 4 MB), so that records
// wait unsent. Each line's host begins with a letter of its own, so that a record begun for
// one line and finished with the bytes of another shows in the host, key or text.
std::string
host_of(int n)
{
    return std::string(1, static_cast<char>('a' + n % 10)) + std::to_string(n);
}

TEST(sievel_act, a_full_queue_never_tears_a_record)
{
    temp_dir dir;
    fake_board b;
    b.rcvbuf = 4096;
    b.paused = true;
    b.up();
    act_proc act(dir.path, {"--queue", "40000", "--drain", "20", "--board", board_arg(b)});
    std::string lines;
    for (int i = 0; i < 120000; ++i)
        lines += "RAISE-ALERT K" + std::to_string(i) + " \"text " + std::to_string(i) + "\" " +
                 host_of(i) + "\n";
    act.write_lines(lines);
    ASSERT_TRUE(wait_until([&] { return act.err().find("queue full") != std::string::npos; }))
        << act.err();
    b.paused = false;
    EXPECT_EQ(act.finish(30000), 1) << act.err();
    std::lock_guard<std::mutex> g(b.m);
    ASSERT_GE(b.records.size(), 40000u);
    int last = -1;
    for (const std::string &r : b.records) {
        std::string key = field(r, OFF_KEY, LEN_KEY);
        ASSERT_EQ(r[OFF_ALERT_NEWLINE], '\n') << key;
        ASSERT_EQ(r.substr(OFF_PRODUCTID, 8), "GENALERT") << key;
        ASSERT_EQ(key[0], 'K');
        int n = std::stoi(key.substr(1));
        ASSERT_EQ(text_of(r), "text " + std::to_string(n));
        ASSERT_EQ(field(r, OFF_HOSTNAME, LEN_HOSTNAME), host_of(n));
        ASSERT_GT(n, last);
        last = n;
    }
    EXPECT_EQ(last, 119999);
}

// The spool file's header: the number of records the board ACKed, twenty digits after
// "tarrow-spool 1 acked ".
long
spool_acked(const std::string &path)
{
    std::string h = read_file(path).substr(0, 64);
    return h.rfind("tarrow-spool 1 acked ", 0) == 0 ? std::stol(h.substr(21, 20)) : -1;
}

// Two boards, one that ACKs the first 60 records and one that is down, when sievel-act is
// killed: a new one on the same spool sends each board what it did not ACK, in order and
// before the new lines, after cutting a torn record that the kill left at the end.
TEST(sievel_act, a_spool_survives_kill_9_and_sends_what_no_board_acked)
{
    temp_dir dir;
    const std::string spool = dir.path + "/spool";
    fake_board a, b;
    a.ack_limit = 60;
    a.up();
    const std::vector<std::string> args = {"--spool", spool, "--board", board_arg(a),
                                           "--board", board_arg(b)};
    const std::string a_file = spool + "/127.0.0.1_" + std::to_string(a.port) + ".spool";
    const std::string b_file = spool + "/127.0.0.1_" + std::to_string(b.port) + ".spool";
    {
        act_proc act(dir.path, args);
        act.write_lines(raises(0, 100));
        ASSERT_TRUE(a.wait_for(100));
        ASSERT_TRUE(wait_until([&] {
            return spool_acked(a_file) == 60 &&
                   read_file(b_file).size() == 64 + 100 * ALERT_RECORD_SIZE;
        })) << spool_acked(a_file) << " " << read_file(b_file).size();
        kill(act.pid, SIGKILL);
    }
    std::ofstream(b_file, std::ios::app) << std::string(100, 'x');

    a.ack_limit = SIZE_MAX;
    b.up();
    act_proc act(dir.path, args);
    act.write_lines(raises(100, 150));
    EXPECT_EQ(act.finish(), 0) << act.err();
    std::vector<std::string> again = a.keys();
    again.erase(again.begin(), again.begin() + std::min<long>(100, std::ssize(again)));
    EXPECT_EQ(again, key_range(60, 150));
    EXPECT_EQ(b.keys(), key_range(0, 150));
    std::string err = act.err();
    EXPECT_NE(err.find("board " + board_arg(b) + ": spool " + b_file +
                       ": cut a torn tail of 100 bytes"),
              std::string::npos) << err;
    EXPECT_NE(err.find("board " + board_arg(a) + ": 40 records from the spool to send"),
              std::string::npos) << err;
    // Everything was ACKed: the files are back to their headers.
    EXPECT_EQ(read_file(a_file), "tarrow-spool 1 acked " + std::string(20, '0') +
                                     std::string(22, ' ') + "\n");
    EXPECT_EQ(read_file(b_file).size(), 64u);
}

} // namespace
