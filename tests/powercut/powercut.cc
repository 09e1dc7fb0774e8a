// powercut: kills tarrowd or cuts the power under it at many points of an acknowledged burst
// and checks what a restart finds.
//
//   powercut LIBRARY [--sync] [--cuts N] [--requests N] [--seed N]
//
// tarrowd runs once with the recorder library (LD_PRELOAD), which logs every write,
// truncate, rename, unlink and sync of its state files and every reply it sends. A client
// fills 45 slots of the table, then sends random raises, acknowledges and clears of 30 more
// alerts in small pipelined batches, each asking for an ACK (raises that meet the full table
// wait in the overflow file); every few batches thirty fillers are cleared and raised again,
// so that the overflow file is read to its end and recreated often. Then, for N points spread
// over the recorded operations, three disks are built as a crash at that point could leave
// them:
//   synced   a power cut: every file as of its last sync, every name as of the last directory
//            sync (a write, rename or new file not synced since is lost)
//   torn     a power cut: everything written up to the point, but the last write that was
//            not synced since torn in half
//   killed   the process killed: everything written up to the point
// tarrowd is started on each (--keep-table), the fillers are cleared so that whatever waits
// in the overflow file comes back, and for every alert the board must show the
// state of some moment at or after the last ACK sent before the cut: no ACKed change lost,
// and nothing ACKed as cleared back. Prints the losses per kind of disk; exits 1 when a kill
// lost anything or a restart after one failed, or with --sync when anything was lost at all.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/record.h"
#include "tests/harness.h"

namespace {

constexpr int ALERTS = 30;

struct request {
    int alert;
    std::string type;           // AC, AW, KA (acknowledge), AK (clear)
};

// One recorded operation.
struct op {
    char kind;
    unsigned long ino = 0;
    long off = 0;               // W: offset, T: length, A: bytes sent
    std::string a, b;           // C: name; R: from, to; U: name; W: bytes
};

std::vector<op>
read_ops(const std::string &path)
{
    std::vector<op> ops;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        op o;
        ss >> o.kind;
        switch (o.kind) {
        case 'C': ss >> o.ino >> o.a; break;
        case 'W': {
            std::string hex;
            ss >> o.ino >> o.off >> hex;
            for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
                o.b.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
            break;
        }
        case 'T': ss >> o.ino >> o.off; break;
        case 'S': ss >> o.ino; break;
        case 'D': break;
        case 'R': ss >> o.a >> o.b; break;
        case 'U': ss >> o.a; break;
        case 'A': ss >> o.off; break;
        default: continue;
        }
        ops.push_back(o);
    }
    return ops;
}

// The disk as the operations leave it: files by id (a new id for every file created, since
// inode numbers are reused), their contents now and as last synced, and the names.
struct disk {
    std::map<unsigned long, int> id_of_ino;
    std::vector<std::string> now, synced;
    std::map<std::string, int> names, synced_names;

    int file(unsigned long ino)
    {
        auto it = id_of_ino.find(ino);
        if (it != id_of_ino.end())
            return it->second;
        now.emplace_back();     // a file the recorder saw only after it existed: empty then
        synced.emplace_back();
        return id_of_ino[ino] = static_cast<int>(now.size() - 1);
    }

    void apply(const op &o, std::size_t torn_bytes = std::string::npos)
    {
        switch (o.kind) {
        case 'C': {
            now.emplace_back();
            synced.emplace_back();
            int id = static_cast<int>(now.size() - 1);
            id_of_ino[o.ino] = id;
            names[o.a] = id;
            break;
        }
        case 'W': {
            std::string &f = now[static_cast<std::size_t>(file(o.ino))];
            std::string bytes = o.b.substr(0, torn_bytes);
            std::size_t off = static_cast<std::size_t>(o.off);
            if (f.size() < off + bytes.size())
                f.resize(off + bytes.size(), '\0');
            f.replace(off, bytes.size(), bytes);
            break;
        }
        case 'T':
            now[static_cast<std::size_t>(file(o.ino))].resize(static_cast<std::size_t>(o.off));
            break;
        case 'S': {
            int id = file(o.ino);
            synced[static_cast<std::size_t>(id)] = now[static_cast<std::size_t>(id)];
            break;
        }
        case 'D': synced_names = names; break;
        case 'R':
            if (names.count(o.a)) {
                names[o.b] = names[o.a];
                names.erase(o.a);
            }
            break;
        case 'U': names.erase(o.a); break;
        default: break;
        }
    }
};

// Writes the files of a disk into dir: the synced or the present names and contents.
void
write_disk(const disk &d, bool synced, const std::string &dir)
{
    const auto &names = synced ? d.synced_names : d.names;
    for (const auto &[name, id] : names) {
        std::ofstream out(dir + "/" + name, std::ios::binary);
        const std::string &bytes = synced ? d.synced[static_cast<std::size_t>(id)]
                                          : d.now[static_cast<std::size_t>(id)];
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    }
}

std::string
key_name(int alert)
{
    std::string k = "pc" + std::to_string(alert);
    k.resize(LEN_KEY, ' ');
    return k;
}

// The state of every alert after each prefix of the requests: states[j][alert] is "" (not on
// the board), "AC", "AW" or "AK".
std::vector<std::vector<std::string>>
states_after(const std::vector<request> &reqs)
{
    std::vector<std::vector<std::string>> states(1, std::vector<std::string>(ALERTS));
    for (const request &r : reqs) {
        std::vector<std::string> s = states.back();
        std::string &a = s[static_cast<std::size_t>(r.alert)];
        if (r.type == "AC" || r.type == "AW")
            a = r.type;
        else if (r.type == "AK")
            a = "";
        else if (!a.empty())
            a = "AK";
        states.push_back(s);
    }
    return states;
}

// Alerts whose state on the board is none of those at or after request acked.
int
count_losses(const std::vector<std::string> &board,
             const std::vector<std::vector<std::string>> &states, std::size_t acked)
{
    std::vector<std::string> seen(ALERTS);
    for (const std::string &line : board)
        for (int a = 0; a < ALERTS; a++)
            if (line.substr(0, LEN_KEY) == key_name(a))
                seen[static_cast<std::size_t>(a)] = line.substr(LEN_KEY + 1, 2);
    int lost = 0;
    for (std::size_t a = 0; a < ALERTS; a++) {
        bool ok = false;
        for (std::size_t j = acked; j < states.size() && !ok; j++)
            ok = states[j][a] == seen[a];
        lost += ok ? 0 : 1;
    }
    return lost;
}

constexpr std::size_t FILLERS = 45;

// A raise or a clear of every filler, each asking for an ACK.
std::string
fillers(const std::string &type)
{
    std::string all;
    for (std::size_t i = 0; i < FILLERS; i++)
        all += make_alert("JOBSCHED", "filler", "f" + std::to_string(i), type, 'Y');
    return all;
}

struct tally {
    int cuts = 0, cuts_with_loss = 0, lost = 0, worst = 0, failed_starts = 0;
};

} // namespace

int
main(int argc, char **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: powercut library [--sync] [--cuts N|all] [--requests N] "
                        "[--seed N]\n");
        return 2;
    }
    // The server starts in another directory: the library needs a path from the root.
    char *resolved = realpath(argv[1], nullptr);
    if (resolved == nullptr) {
        perror(argv[1]);
        return 2;
    }
    std::string library = resolved;
    free(resolved);
    bool sync = false;
    int cuts = 40, requests = 300;
    unsigned seed = 1;
    for (int i = 2; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--sync")
            sync = true;
        else if (a == "--cuts" && i + 1 < argc)
            cuts = std::string(argv[++i]) == "all" ? 0 : atoi(argv[i]);
        else if (a == "--requests" && i + 1 < argc)
            requests = atoi(argv[++i]);
        else if (a == "--seed" && i + 1 < argc)
            seed = static_cast<unsigned>(atoi(argv[++i]));
    }
    signal(SIGPIPE, SIG_IGN);

    // The recorded run.
    temp_dir work, run_dir;
    const std::string ops_path = work.path + "/ops";
    std::vector<std::string> args = {"--keep-table"};
    if (sync)
        args.push_back("--sync");
    args.insert(args.end(), {"0", "127.0.0.1"});
    server_proc s = start_server(run_dir.path, args,
                                 {"LD_PRELOAD=" + library, "POWERCUT_LOG=" + ops_path,
                                  "ASAN_OPTIONS=verify_asan_link_order=0"});
    server_guard guard{s};
    if (s.port <= 0) {
        fprintf(stderr, "powercut: tarrowd did not start with the recorder\n");
        return 1;
    }
    std::mt19937 rng(seed);
    std::vector<request> reqs;
    // For every record sent, in order, the requests under test sent up to and with it: an
    // ACK count tells how many of them were acknowledged.
    std::vector<std::size_t> tested_by_record(FILLERS, 0);
    int fd = connect_local(s.port);
    // Fillers take most of the table, so that raises of the alerts under test go to the
    // overflow file and come back as clears make room.
    if (!send_all(fd, fillers("AC")) ||
        read_exact(fd, FILLERS * ALERT_RECORD_SIZE, 5000).size() != FILLERS * ALERT_RECORD_SIZE) {
        fprintf(stderr, "powercut: the fillers were not acknowledged\n");
        return 1;
    }
    const char *types[] = {"AC", "AW", "AC", "AW", "KA", "AK", "AK"};
    for (int batches = 0; static_cast<int>(reqs.size()) < requests; batches++) {
        int batch = 1 + static_cast<int>(rng() % 4);
        std::string bytes;
        for (int i = 0; i < batch; i++) {
            request r{static_cast<int>(rng() % ALERTS), types[rng() % 7]};
            reqs.push_back(r);
            tested_by_record.push_back(reqs.size());
            bytes += make_alert("JOBSCHED", "powercut", "pc" + std::to_string(r.alert), r.type,
                                'Y');
        }
        // Room for everything that waits: the file is read to its end and recreated.
        if (batches % 6 == 5) {
            for (const char *type : {"AK", "AC"})
                for (int f = 0; f < 30; f++) {
                    bytes += make_alert("JOBSCHED", "filler", "f" + std::to_string(f), type,
                                        'Y');
                    tested_by_record.push_back(reqs.size());
                }
        }
        if (!send_all(fd, bytes) ||
            read_exact(fd, bytes.size(), 5000).size() != bytes.size()) {
            fprintf(stderr, "powercut: the burst was not acknowledged\n");
            return 1;
        }
    }
    close(fd);
    stop_server(s);

    std::vector<op> ops = read_ops(ops_path);
    auto states = states_after(reqs);
    long ack_bytes = 0;
    for (const op &o : ops)
        ack_bytes += o.kind == 'A' ? o.off : 0;
    if (ack_bytes != static_cast<long>(tested_by_record.size() * ALERT_RECORD_SIZE)) {
        fprintf(stderr, "powercut: the recorder saw %ld bytes of ACKs, expected %zu\n",
                ack_bytes, tested_by_record.size() * ALERT_RECORD_SIZE);
        return 1;
    }

    const char *kinds[] = {"synced", "torn", "killed"};
    tally tallies[3];
    // --cuts all: a point after every operation recorded.
    if (cuts == 0)
        cuts = static_cast<int>(ops.size());
    for (int c = 1; c <= cuts; c++) {
        std::size_t cut = ops.size() * static_cast<std::size_t>(c) /
                          static_cast<std::size_t>(cuts);
        long sent = 0;
        // The last write not synced before the cut is the one that may be torn.
        std::size_t last_write = ops.size();
        for (std::size_t i = 0; i < cut; i++) {
            if (ops[i].kind == 'W')
                last_write = i;
            else if (ops[i].kind == 'S' && last_write < ops.size() &&
                     ops[last_write].ino == ops[i].ino)
                last_write = ops.size();
        }
        for (std::size_t i = 0; i < cut; i++)
            if (ops[i].kind == 'A')
                sent += ops[i].off;
        std::size_t records = static_cast<std::size_t>(sent) / ALERT_RECORD_SIZE;
        std::size_t acked = records > 0 ? tested_by_record[records - 1] : 0;
        // Without --sync a power cut may lose what was answered: only kills are checked.
        for (int variant = sync ? 0 : 2; variant < 3; variant++) {
            disk v;
            for (std::size_t i = 0; i < cut; i++)
                v.apply(ops[i], variant == 1 && i == last_write ? ops[i].b.size() / 2
                                                                 : std::string::npos);
            temp_dir after;
            write_disk(v, variant == 0, after.path);
            server_proc r = start_server(after.path, {"--keep-table", "0", "127.0.0.1"});
            server_guard rguard{r};
            tally &t = tallies[variant];
            t.cuts++;
            if (r.port <= 0) {
                t.failed_starts++;
                continue;
            }
            // Clearing the fillers lets everything that waits in the overflow file come
            // back: the board then shows where every alert under test ends up.
            int cfd = connect_local(r.port);
            std::string clears = fillers("AK");
            bool drained = cfd >= 0 && send_all(cfd, clears) &&
                           read_exact(cfd, clears.size(), 5000).size() == clears.size();
            if (cfd >= 0)
                close(cfd);
            if (!drained) {
                t.failed_starts++;
                continue;
            }
            int lost = count_losses(board_listing(r.port), states, acked);
            stop_server(r);
            t.lost += lost;
            t.cuts_with_loss += lost > 0 ? 1 : 0;
            if (lost > t.worst)
                t.worst = lost;
        }
    }

    std::map<unsigned long, bool> overflow_inodes;
    int overflow_appends = 0, syncs = 0, recreated = 0;
    for (const op &o : ops) {
        if (o.kind == 'C')
            overflow_inodes[o.ino] = o.a == "evt_buffer.dat";
        recreated += o.kind == 'C' && o.a == "evt_buffer.dat" ? 1 : 0;
        overflow_appends += o.kind == 'W' && overflow_inodes[o.ino] ? 1 : 0;
        syncs += o.kind == 'S' || o.kind == 'D' ? 1 : 0;
    }
    printf("tarrowd --keep-table%s: %zu requests, %zu recorded operations, %d overflow "
           "appends, %d overflow files made, %d syncs\n", sync ? " --sync" : "", reqs.size(),
           ops.size(), overflow_appends, recreated, syncs);
    printf("%-8s %6s %16s %14s %14s %14s\n", "disk", "cuts", "cuts with loss",
           "alerts lost", "worst cut", "failed starts");
    for (int variant = sync ? 0 : 2; variant < 3; variant++) {
        const tally &t = tallies[variant];
        printf("%-8s %6d %16d %14d %14d %14d\n", kinds[variant], t.cuts, t.cuts_with_loss,
               t.lost, t.worst, t.failed_starts);
    }
    int lost = 0;
    for (const tally &t : tallies)
        lost += t.lost + t.failed_starts;
    return lost > 0 ? 1 : 0;
}
