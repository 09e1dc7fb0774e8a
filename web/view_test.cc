// Tests of what tarrow-web makes of the board: JSON, metrics, entity tags.
#include "web/view.h"

#include <map>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

static console_alert
alert(const std::string &host, const std::string &key, const std::string &type,
      const std::string &text, char persistent = '\0', const std::string &dt = "20260101 10:30")
{
    console_alert a;
    a.datetime = dt;
    a.hostname = host + std::string(15 - std::min<std::size_t>(15, host.size()), ' ');
    a.key = key + std::string(14 - std::min<std::size_t>(14, key.size()), ' ');
    a.type = type;
    a.text = text;
    a.persistent = persistent;
    return a;
}

TEST(WebView, AlertsCarryTheConsoleFieldsWithTextsMadeSafe)
{
    std::vector<console_alert> in = {
        alert("web01", "DISK", "AC", "disk full", 'Y'),
        alert("web02", "LOAD", "AW", "tab\there", 'N'),
        alert("db01", "PING", "IO", "bad \xff byte"),
        alert("db02", "OLD", "AK", "<img src=x onerror=alert(1)>", '\0', "garbage"),
    };
    in[0].optional_data = "opt                 ";
    in[3].ack = {true, "ops1", "AW", "swap\x01", 1700000000, 0};
    nlohmann::json j = nlohmann::json::parse(alerts_json(in, false));
    ASSERT_EQ(j.size(), 4u);
    const char *fields[] = {"host", "key", "state", "severity", "datetime", "text", "persistent",
                            "place"};
    for (const auto &o : j) {
        EXPECT_EQ(o.size(), std::size(fields) + (o["state"] == "acked" ? 1 : 0));
        for (const char *f : fields)
            EXPECT_TRUE(o.contains(f)) << f;
    }
    EXPECT_EQ(j[0]["host"], "web01");
    EXPECT_EQ(j[0]["key"], "DISK");
    EXPECT_EQ(j[0]["state"], "critical");
    EXPECT_EQ(j[0]["datetime"], "2026-01-01T10:30");
    EXPECT_EQ(j[0]["persistent"], true);
    EXPECT_EQ(j[1]["state"], "warning");
    EXPECT_EQ(j[1]["text"], "tab^Ihere");
    EXPECT_EQ(j[1]["persistent"], false);
    EXPECT_EQ(j[2]["state"], "info");
    EXPECT_EQ(j[2]["text"], "bad \\xff byte");
    EXPECT_TRUE(j[2]["persistent"].is_null());
    EXPECT_EQ(j[3]["state"], "acked");
    EXPECT_EQ(j[3]["severity"], "warning");
    EXPECT_EQ(j[3]["acknowledged"]["by"], "ops1");
    EXPECT_EQ(j[3]["acknowledged"]["note"], "swap^A");
    EXPECT_TRUE(j[3]["acknowledged"]["until"].is_null());
    EXPECT_EQ(j[3]["text"], "<img src=x onerror=alert(1)>");   // JSON carries it; the page
    EXPECT_EQ(j[3]["datetime"], "garbage");                     // inserts it as text

    nlohmann::json full = nlohmann::json::parse(alerts_json(in, true));
    EXPECT_EQ(full[0]["optional_data"], "opt");
    EXPECT_TRUE(full[0]["raised"].is_number());
    EXPECT_TRUE(full[3]["raised"].is_null());
}

TEST(WebView, BoardForThePageAddsStaleAndCounts)
{
    web_snapshot s;
    s.up = true;
    s.fetched = 1000;
    s.alerts = {alert("a", "K1", "AC", "x"), alert("a", "K2", "AC", "y"),
                alert("b", "K3", "AK", "z")};
    std::string b = board_json(s, {2, true, {}});
    for (bool stale : {true, false}) {
        nlohmann::json j = nlohmann::json::parse(board_with_stale(b, stale));
        EXPECT_EQ(j["stale"], stale);
        EXPECT_EQ(j["interval"], 2);
        EXPECT_EQ(j["acting"], true);
        EXPECT_EQ(j["counts"]["critical"], 2);
        EXPECT_EQ(j["counts"]["acked"], 1);
        EXPECT_EQ(j["counts"]["total"], 3);
        EXPECT_EQ(j["alerts"].size(), 3u);
    }
    // Polls of an unchanged board leave the same text; a board that went away says since when.
    s.fetched = 1001;
    EXPECT_EQ(board_json(s, {2, true, {}}), b);
    s.up = false;
    EXPECT_EQ(nlohmann::json::parse(board_json(s, {2, true, {}}))["fetched"], 1001);

    // Before the first poll there is nothing but the stale flag.
    EXPECT_EQ(nlohmann::json::parse(board_with_stale("{}", true)), nlohmann::json({{"stale", true}}));
}

// Parses the exposition text: samples by their full name with labels, and the TYPE of each
// family; fails the test on a sample without HELP and TYPE before it.
static std::map<std::string, std::string>
samples(const std::string &text, std::map<std::string, std::string> &types)
{
    std::map<std::string, std::string> out;
    std::istringstream in(text);
    std::string line, help_of;
    while (std::getline(in, line)) {
        if (line.rfind("# HELP ", 0) == 0) {
            help_of = line.substr(7, line.find(' ', 7) - 7);
            continue;
        }
        if (line.rfind("# TYPE ", 0) == 0) {
            std::string name = line.substr(7, line.find(' ', 7) - 7);
            EXPECT_EQ(name, help_of);
            types[name] = line.substr(line.rfind(' ') + 1);
            continue;
        }
        std::size_t sp = line.rfind(' ');
        std::string name = line.substr(0, sp);
        std::string family = name.substr(0, name.find('{'));
        bool known = types.count(family) > 0;
        for (const char *suffix : {"_bucket", "_sum", "_count"})
            if (family.size() > strlen(suffix) &&
                family.compare(family.size() - strlen(suffix), strlen(suffix), suffix) == 0)
                known = known || types.count(family.substr(0, family.size() - strlen(suffix)));
        EXPECT_TRUE(known) << line;
        out[name] = line.substr(sp + 1);
    }
    return out;
}

TEST(WebView, MetricsCountStatesAndPolls)
{
    web_snapshot s;
    s.up = true;
    s.fetched = 5000;
    s.alerts = {alert("a", "K1", "AC", "x", 'N', "20260101 10:00"),
                alert("a", "K2", "AW", "y", 'N', "20260101 10:30"),
                alert("b", "K3", "AK", "z"),
                alert("c", "DISKFULL", "AC", "w", 'N', "20260101 09:59")};
    s.alerts.back().waiting = true;
    s.figures = {{"table_size", 50}, {"received_critical", 2}, {"records_spilled", 1},
                 {"waiting_oldest_age_seconds", 150}, {"bad name", 3}};
    snapshot_count_poll(s, 0.0005, true);
    snapshot_count_poll(s, 0.003, true);
    snapshot_count_poll(s, 7.0, false);
    long long raised = web_raised("20260101 10:00");
    std::map<std::string, std::string> types;
    auto m = samples(metrics_text(s, static_cast<time_t>(raised + 90)), types);
    EXPECT_EQ(m["tarrow_up"], "1");
    EXPECT_EQ(m["tarrow_alerts{place=\"table\",state=\"critical\"}"], "1");
    EXPECT_EQ(m["tarrow_alerts{place=\"table\",state=\"warning\"}"], "1");
    EXPECT_EQ(m["tarrow_alerts{place=\"table\",state=\"info\"}"], "0");
    EXPECT_EQ(m["tarrow_alerts{place=\"table\",state=\"acked\"}"], "1");
    EXPECT_EQ(m["tarrow_oldest_alert_age_seconds{place=\"table\"}"], "90");
    // The alert waiting behind the board counts under its own place, not the table's.
    EXPECT_EQ(m["tarrow_alerts{place=\"waiting\",state=\"critical\"}"], "1");
    EXPECT_EQ(m["tarrow_alerts{place=\"waiting\",state=\"warning\"}"], "0");
    EXPECT_EQ(m["tarrow_oldest_alert_age_seconds{place=\"waiting\"}"], "150");
    // The server's counts as counters; its gauges other than the waiting age stay out.
    EXPECT_EQ(m["tarrow_server_received_critical_total"], "2");
    EXPECT_EQ(types["tarrow_server_received_critical_total"], "counter");
    EXPECT_EQ(m["tarrow_server_records_spilled_total"], "1");
    EXPECT_EQ(m["tarrow_server_waiting_oldest_age_seconds"], "150");
    EXPECT_EQ(m.count("tarrow_server_table_size_total"), 0u);
    for (const auto &[name, value] : m)
        EXPECT_EQ(name.find("bad"), std::string::npos) << name;
    // Buckets are cumulative; the slow poll lands in +Inf only.
    EXPECT_EQ(m["tarrow_web_poll_duration_seconds_bucket{le=\"0.001\"}"], "1");
    EXPECT_EQ(m["tarrow_web_poll_duration_seconds_bucket{le=\"0.005\"}"], "2");
    EXPECT_EQ(m["tarrow_web_poll_duration_seconds_bucket{le=\"2.5\"}"], "2");
    EXPECT_EQ(m["tarrow_web_poll_duration_seconds_bucket{le=\"+Inf\"}"], "3");
    EXPECT_EQ(m["tarrow_web_poll_duration_seconds_count"], "3");
    EXPECT_EQ(m["tarrow_web_poll_errors_total"], "1");
    EXPECT_EQ(types["tarrow_web_poll_errors_total"], "counter");
    EXPECT_EQ(types["tarrow_web_poll_duration_seconds"], "histogram");

    // A board that cannot be reached is down, and its last counts are not passed off as now.
    s.up = false;
    types.clear();
    m = samples(metrics_text(s, 0), types);
    EXPECT_EQ(m["tarrow_up"], "0");
    EXPECT_EQ(types.count("tarrow_alerts"), 0u);
}

TEST(WebView, EntityTagsFollowEveryByte)
{
    std::string a = "[{\"host\":\"a\"}]", b = a;
    b[9] = 'b';
    std::string ta = entity_tag(a), tb = entity_tag(b);
    EXPECT_NE(ta, tb);
    EXPECT_EQ(ta, entity_tag(a));
    EXPECT_EQ(ta.front(), '"');
    EXPECT_EQ(ta.back(), '"');
    EXPECT_TRUE(etag_matches(ta, ta));
    EXPECT_TRUE(etag_matches(tb + ", " + ta, ta));
    EXPECT_TRUE(etag_matches(" W/" + ta, ta));
    EXPECT_TRUE(etag_matches("*", ta));
    EXPECT_FALSE(etag_matches("", ta));
    EXPECT_FALSE(etag_matches(tb, ta));
    EXPECT_FALSE(etag_matches(ta.substr(0, ta.size() - 1), ta));
}

TEST(WebView, AlertsAreFoundByTheirShownHostAndKey)
{
    std::vector<console_alert> in = {alert("web01", "DISK", "AC", "x"),
                                     alert("we\x01", "K", "AC", "y")};
    const console_alert *a = find_alert(in, "web01", "DISK");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->hostname, "web01          ");   // as stored: the request needs it so
    EXPECT_EQ(find_alert(in, "we^A", "K"), &in[1]);
    EXPECT_EQ(find_alert(in, "web01", "DISK2"), nullptr);
    EXPECT_EQ(find_alert(in, "web0", "DISK"), nullptr);
}

TEST(WebView, SeveralBoardsShowWhereEachAlertIsAndWhatWaits)
{
    web_snapshot s;
    s.boards = {{{"127.0.0.1", 9003, "A"}, true, "", {}}, {{"::1", 9004, "B"}, false, "refused", {}}};
    s.boards[0].alerts = {alert("web01", "DISK", "AK", "full"), alert("web02", "LOAD", "AW", "x")};
    s.boards[1].alerts = {alert("web01", "DISK", "AC", "full")};
    s.pending.push_back({1, 1, "AC", s.boards[0].alerts[0].hostname, s.boards[0].alerts[0].key,
                         "ann", "", 0, 1700000000});
    snapshot_merge_boards(s);
    EXPECT_TRUE(s.up) << "one board answers";
    ASSERT_EQ(s.alerts.size(), 2u);
    EXPECT_EQ(snapshot_divergent(s), 2);

    nlohmann::json b = nlohmann::json::parse(board_json(s, web_view_options{}));
    EXPECT_EQ(b["divergent"], 2);
    ASSERT_EQ(b["boards"].size(), 2u);
    EXPECT_EQ(b["boards"][1]["address"], "[::1]:9004");
    EXPECT_EQ(b["boards"][1]["up"], false);
    ASSERT_EQ(b["pending"].size(), 1u);
    EXPECT_EQ(b["pending"][0]["board"], "B");
    EXPECT_EQ(b["pending"][0]["action"], "ack");
    EXPECT_EQ(b["pending"][0]["host"], "web01");
    EXPECT_EQ(b["alerts"][0]["boards"], "both");
    EXPECT_EQ(b["alerts"][0]["differs"], "acknowledged on A only");
    EXPECT_EQ(b["alerts"][1]["boards"], "A");
    EXPECT_EQ(b["alerts"][1]["differs"], "on A only");

    std::string m = metrics_text(s, 1700000000);
    EXPECT_NE(m.find("tarrow_up{board=\"127.0.0.1:9003\"} 1\n"), std::string::npos) << m;
    EXPECT_NE(m.find("tarrow_up{board=\"[::1]:9004\"} 0\n"), std::string::npos) << m;
    EXPECT_EQ(m.find("\ntarrow_up 1"), std::string::npos) << "one sample per board only";
    EXPECT_NE(m.find("tarrow_boards_divergent_alerts 2\n"), std::string::npos) << m;
    EXPECT_NE(m.find("tarrow_boards_pending_actions 1\n"), std::string::npos) << m;

    // The boards agree once B has what A has.
    s.boards[1].alerts = s.boards[0].alerts;
    snapshot_merge_boards(s);
    EXPECT_EQ(snapshot_divergent(s), 0);
    EXPECT_NE(metrics_text(s, 1700000000).find("tarrow_boards_divergent_alerts 0\n"),
              std::string::npos);
}
