// Tests of the mirror: board snapshots in, alerts, silences and log lines out.
#include "bridge/mirror.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

using json = nlohmann::json;

namespace {

struct mirror_fixture : ::testing::Test {
    mirror_config cfg{"127.0.0.1:9003", {{"board", "b1"}}, 15};
    mirror_state st;
    time_t now = 1700000000;

    void SetUp() override
    {
        setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
        tzset();
    }
    std::vector<std::string> update(const std::vector<board_alert> &board)
    {
        return mirror_update(st, cfg, &board, "", now);
    }
    // The posted alert with this alertname, ending now or later; null when there is none.
    json posted(const std::string &key, bool resolved = false)
    {
        for (const json &a : mirror_alerts(st, cfg, now))
            if (a["labels"]["alertname"] == key &&
                (rfc3339_parse(a["endsAt"]) <= now) == resolved)
                return a;
        return nullptr;
    }
};

board_alert
alert(const std::string &key, const std::string &type, const std::string &text = "t",
      const std::string &datetime = "20231114 23:13", const std::string &place = "board")
{
    board_alert b;
    b.host = "web01";
    b.key = key;
    b.type = type;
    b.datetime = datetime;
    b.text = text;
    b.place = place;
    return b;
}

} // namespace

TEST_F(mirror_fixture, board_changes_become_alert_changes)
{
    // A new alert fires with every label and annotation.
    EXPECT_EQ(update({alert("DISK", "AC", "disk full"), alert("LOAD", "AW")}),
              (std::vector<std::string>{"fired web01 DISK (critical)", "fired web01 LOAD (warning)"}));
    json a = posted("DISK");
    ASSERT_FALSE(a.is_null());
    EXPECT_EQ(a["labels"], json({{"alertname", "DISK"}, {"instance", "web01"},
                                 {"severity", "critical"}, {"board", "b1"}}));
    EXPECT_EQ(a["annotations"], json({{"summary", "disk full"}, {"state", "critical"},
                                      {"raised", "20231114 23:13"}, {"board", cfg.board},
                                      {"place", "board"}}));
    EXPECT_EQ(a["startsAt"], "2023-11-14T23:13:00+01:00");
    EXPECT_EQ(rfc3339_parse(a["endsAt"]), now + 4 * 15);

    // Acknowledged: same severity, state acked, nothing logged.
    EXPECT_TRUE(update({alert("DISK", "AK", "disk full"), alert("LOAD", "AW")}).empty());
    EXPECT_EQ(posted("DISK")["labels"]["severity"], "critical");
    EXPECT_EQ(posted("DISK")["annotations"]["state"], "acked");

    // Raised again as a warning: the critical alert ends, the warning starts.
    EXPECT_EQ(update({alert("DISK", "AW", "disk 90%", "20231114 23:20"), alert("LOAD", "AW")}),
              (std::vector<std::string>{"resolved web01 DISK (critical)",
                                        "fired web01 DISK (warning)"}));
    EXPECT_EQ(posted("DISK", true)["labels"]["severity"], "critical");
    EXPECT_EQ(posted("DISK")["labels"]["severity"], "warning");
    EXPECT_EQ(posted("DISK")["annotations"]["summary"], "disk 90%");

    // Gone from the board: resolved once, at the time it left.
    now += 15;
    EXPECT_EQ(update({alert("DISK", "AW", "disk 90%", "20231114 23:20")}),
              (std::vector<std::string>{"resolved web01 LOAD (warning)"}));
    EXPECT_EQ(rfc3339_parse(posted("LOAD", true)["endsAt"]), now);
    mirror_posted(st, cfg, true, now);
    EXPECT_TRUE(posted("LOAD", true).is_null());

    // First seen acknowledged: severity unknown. A duplicate line and a type the board never
    // lists are left out; a stamp from a clock ahead starts now.
    update({alert("OLD", "AK"), alert("OLD", "AC"), alert("ODD", "DD"),
            alert("SKEW", "IO", "t", "20991231 23:59")});
    EXPECT_EQ(posted("OLD")["labels"]["severity"], "unknown");
    EXPECT_TRUE(posted("ODD").is_null());
    EXPECT_EQ(rfc3339_parse(posted("SKEW")["startsAt"]), now);

    // Bytes that are not UTF-8 never stop a post and read back the same every time.
    update({alert("K\xff", "AC", "bad \xfe text")});
    std::string body = json_text(mirror_alerts(st, cfg, now));
    EXPECT_FALSE(json::parse(body, nullptr, false).is_discarded());
    EXPECT_TRUE(update({alert("K\xff", "AC", "bad \xfe text")}).empty());
}

TEST_F(mirror_fixture, lost_board_keeps_alerts_and_fires_its_own)
{
    update({alert("DISK", "AC")});
    EXPECT_EQ(mirror_update(st, cfg, nullptr, "connection refused", now),
              (std::vector<std::string>{"board 127.0.0.1:9003 lost: connection refused"}));
    now += 15;
    EXPECT_TRUE(mirror_update(st, cfg, nullptr, "connection refused", now).empty());
    json down = posted(BOARD_DOWN_NAME);
    ASSERT_FALSE(down.is_null());
    EXPECT_EQ(down["labels"]["instance"], cfg.board);
    EXPECT_EQ(down["labels"]["severity"], "critical");
    EXPECT_EQ(rfc3339_parse(down["startsAt"]), now - 15);
    EXPECT_EQ(rfc3339_parse(posted("DISK")["endsAt"]), now + 60);

    EXPECT_EQ(update({alert("DISK", "AC")}),
              (std::vector<std::string>{"board 127.0.0.1:9003 regained"}));
    EXPECT_FALSE(posted(BOARD_DOWN_NAME, true).is_null());

    // A resolution that an Alertmanager missed is sent again until its alert has ended anyway.
    update({});
    mirror_posted(st, cfg, false, now);
    EXPECT_FALSE(posted("DISK", true).is_null());
    mirror_posted(st, cfg, false, now + 60);
    EXPECT_TRUE(posted("DISK", true).is_null());
}

TEST_F(mirror_fixture, earlier_runs_are_taken_up_from_alertmanager)
{
    auto am_alert = [](json labels, const std::string &board) {
        return json{{"labels", labels},
                    {"annotations", {{"board", board}, {"state", "acked"}, {"summary", "s"}}},
                    {"startsAt", "2023-11-14T22:00:00.000Z"}};
    };
    json list = json::array({
        am_alert({{"alertname", "DISK"}, {"instance", "web01"}, {"severity", "critical"},
                  {"board", "b1"}}, cfg.board),
        am_alert({{"alertname", "GONE"}, {"instance", "web01"}, {"severity", "info"},
                  {"board", "b1"}}, cfg.board),
        am_alert({{"alertname", BOARD_DOWN_NAME}, {"instance", cfg.board},
                  {"severity", "critical"}, {"board", "b1"}}, cfg.board),
        // Another board's, or another label's: not ours.
        am_alert({{"alertname", "X"}, {"instance", "web01"}, {"severity", "info"},
                  {"board", "b1"}}, "127.0.0.1:9004"),
        am_alert({{"alertname", "Y"}, {"instance", "web01"}, {"severity", "info"},
                  {"board", "b2"}}, cfg.board),
        json("not an alert"),
    });
    EXPECT_EQ(mirror_recover(st, cfg, list), 3);
    EXPECT_EQ(mirror_recover(st, cfg, json::object()), 0);
    // What the bridge already holds stays: a later look at Alertmanager takes nothing.
    json stale = list;
    stale[0]["annotations"]["summary"] = "stale";
    EXPECT_EQ(mirror_recover(st, cfg, stale), 0);
    EXPECT_EQ(st.alerts.at({"web01", "DISK"}).text, "s");
    // Still acknowledged: the severity seen before is kept. GONE left the board meanwhile.
    EXPECT_EQ(update({alert("DISK", "AK")}),
              (std::vector<std::string>{"board 127.0.0.1:9003 regained",
                                        "resolved web01 GONE (info)"}));
    EXPECT_EQ(posted("DISK")["labels"]["severity"], "critical");
    EXPECT_EQ(rfc3339_parse(posted(BOARD_DOWN_NAME, true)["startsAt"]), 1699999200);
}

TEST_F(mirror_fixture, acknowledgements_become_silences)
{
    auto silence = [&](const std::string &id, const std::string &key, json extra = {}) {
        mirrored_alert a;
        a.host = "web01";
        a.key = key;
        json s = mirror_silence(cfg, a, now - 3600);
        s["id"] = id;
        s["status"] = {{"state", "active"}};
        for (auto &[k, v] : extra.items())
            s[k] = v;
        return s;
    };
    json body = silence("new", "DISK");
    EXPECT_EQ(body["matchers"].size(), 3u);
    EXPECT_EQ(body["matchers"][0], json({{"name", "alertname"}, {"value", "DISK"},
                                         {"isRegex", false}, {"isEqual", true}}));
    EXPECT_EQ(body["createdBy"], "tarrow-bridge");
    EXPECT_NE(body["comment"].get<std::string>().find(cfg.board), std::string::npos);

    json regex = silence("r", "DISK");
    regex["matchers"][0]["isRegex"] = true;
    json extra_matcher = silence("m", "DISK");
    extra_matcher["matchers"].push_back(body["matchers"][0]);
    extra_matcher["matchers"][3]["name"] = "job";
    json list = json::array({
        silence("a", "DISK"), silence("b", "DISK"), silence("c", "LOAD"),
        silence("d", "SOON", {{"endsAt", rfc3339(now + 600)}}),
        silence("x", "DISK", {{"createdBy", "alice"}, {"comment", "alice's own"}}),
        silence("y", "DISK", {{"comment", "acknowledged on the tarrow board 127.0.0.1:1"}}),
        silence("z", "DISK", {{"status", {{"state", "expired"}}}}),
        regex, extra_matcher,
    });
    std::vector<own_silence> own = mirror_own_silences(list, cfg);
    ASSERT_EQ(own.size(), 4u);
    EXPECT_EQ(own[0].key, "DISK");
    EXPECT_EQ(own[0].host, "web01");

    update({alert("DISK", "AK"), alert("LOAD", "AC"), alert("SOON", "AK"), alert("NEW", "AK")});
    silence_plan plan = mirror_silences(st, cfg, own, {}, now);
    ASSERT_EQ(plan.create.size(), 1u);
    EXPECT_EQ(plan.create[0].key, "NEW");
    ASSERT_EQ(plan.renew.size(), 1u);
    EXPECT_EQ(plan.renew[0].id, "d");
    ASSERT_EQ(plan.expire.size(), 2u);     // the duplicate of DISK, and LOAD raised again
    EXPECT_EQ(plan.expire[0].id, "b");
    EXPECT_EQ(plan.expire[1].id, "c");

    // While the board is lost nothing is expired.
    mirror_update(st, cfg, nullptr, "refused", now);
    update({});
    mirror_update(st, cfg, nullptr, "refused", now);
    plan = mirror_silences(st, cfg, own, {}, now);
    EXPECT_TRUE(plan.expire.empty());
}

// An ack that names its operator, note and expiry: the alert keeps its severity, the silence
// carries who, note and end; a changed ack replaces it; a silence someone expired is not
// made again (said once) until the ack changes.
TEST_F(mirror_fixture, acks_with_who_note_and_expiry_shape_their_silences)
{
    board_alert b = alert("DISK", "AK");
    b.ack = true;
    b.ack_by = "ops1";
    b.ack_note = "disk swap at 14:00";
    b.ack_severity = "AC";
    b.ack_since = now - 10;
    b.ack_until = now + 7200;
    update({b});
    EXPECT_EQ(posted("DISK")["labels"]["severity"], "critical");
    EXPECT_EQ(posted("DISK")["annotations"]["acknowledged"],
              "acknowledged critical by ops1 until " + rfc3339(now + 7200) +
                  ": disk swap at 14:00");
    const mirrored_alert &a = st.alerts.begin()->second;
    json body = mirror_silence(cfg, a, now);
    EXPECT_EQ(body["createdBy"], "ops1");
    EXPECT_EQ(body["comment"],
              "disk swap at 14:00 | acknowledged on the tarrow board " + cfg.board);
    EXPECT_EQ(body["endsAt"], rfc3339(now + 7200));

    auto listed = [&](const std::string &id, const std::string &state, time_t ends) {
        json s = body;
        s["id"] = id;
        s["status"] = {{"state", state}};
        s["endsAt"] = rfc3339(ends);
        return s;
    };
    json list = json::array({listed("s1", "active", now + 7200)});
    silence_plan plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg), {}, now);
    EXPECT_TRUE(plan.create.empty() && plan.renew.empty() && plan.expire.empty());

    // Acknowledged again by someone else: the old silence goes, a new one comes.
    board_alert again = b;
    again.ack_by = "ops2";
    again.ack_since = now;
    update({again});
    plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg), {}, now);
    ASSERT_EQ(plan.expire.size(), 1u);
    EXPECT_EQ(plan.create.size(), 1u);

    // Expired by hand before its end: said once, not made again while the ack stays.
    update({b});
    list = json::array({listed("s1", "expired", now - 5)});
    for (int round = 0; round < 2; round++) {
        plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg),
                               mirror_own_silences(list, cfg, true), now);
        EXPECT_TRUE(plan.create.empty()) << round;
        EXPECT_EQ(plan.log.size(), round == 0 ? 1u : 0u) << round;
    }
    ASSERT_FALSE(plan.expire.size());
    // The ack changes: silenced again.
    update({again});
    plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg),
                           mirror_own_silences(list, cfg, true), now);
    EXPECT_EQ(plan.create.size(), 1u);

    // Without an expiry a silence that ran out at its own end is made again, and one near
    // its end is renewed.
    again.ack_until = 0;
    update({again});
    body = mirror_silence(cfg, st.alerts.begin()->second, now - SILENCE_SECONDS);
    list = json::array({listed("s2", "expired", now)});
    list[0]["startsAt"] = rfc3339(now - SILENCE_SECONDS);
    plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg),
                           mirror_own_silences(list, cfg, true), now);
    EXPECT_EQ(plan.create.size(), 1u);
}

// Silences made in Alertmanager: one that selects exactly one alert of the board, made by a
// person or by the bridge of another board, acknowledges it on the board; broader ones,
// regular expressions, negations and the bridge's own silences do not. The ack goes when its
// silence ends, and an ack made so gets no bridge silence.
TEST_F(mirror_fixture, silences_made_elsewhere_acknowledge_on_the_board)
{
    auto acked = [&](const std::string &key, const std::string &by, const std::string &note) {
        board_alert b = alert(key, "AK");
        b.ack = true;
        b.ack_by = by;
        b.ack_note = note;
        b.ack_severity = "AC";
        return b;
    };
    const board_alert old = acked("OLD", "carol", "[silence gone] reboot"),
                      kept = acked("KEPT", "carol", "[silence s-kept] still on"),
                      by_hand = acked("HAND", "ops1", "");
    update({alert("DISK", "AC"), alert("LOAD", "AW"), old, kept, by_hand});

    auto silence = [&](const std::string &id, const std::string &key,
                       std::vector<std::pair<std::string, std::string>> extra = {},
                       const std::string &state = "active") {
        json m = json::array({{{"name", "alertname"}, {"value", key}, {"isEqual", true}},
                              {{"name", "instance"}, {"value", "web01"}, {"isRegex", false}}});
        for (const auto &[n, v] : extra)
            m.push_back({{"name", n}, {"value", v}, {"isRegex", false}, {"isEqual", true}});
        return json{{"id", id}, {"matchers", m}, {"createdBy", "alice"},
                    {"comment", "maintenance"}, {"startsAt", rfc3339(now - 60)},
                    {"endsAt", rfc3339(now + 3600)}, {"status", {{"state", state}}}};
    };
    json own = silence("own", "LOAD");
    own["comment"] = "acknowledged on the tarrow board " + cfg.board;
    json other_board = silence("b2", "LOAD", {{"severity", "warning"}});
    other_board["comment"] = "note | acknowledged on the tarrow board 127.0.0.1:9004";
    json regex = silence("re", "LOAD");
    regex["matchers"][0]["isRegex"] = true;
    json negated = silence("ne", "LOAD");
    negated["matchers"][1]["isEqual"] = false;
    json list = json::array({
        own, regex, negated,
        silence("broad", "LOAD", {{"severity", "critical"}}),     // not this alert's severity
        silence("other", "LOAD", {{"board", "b2"}}),              // another board's label
        silence("gone", "OLD", {}, "expired"),
        silence("s-kept", "KEPT", {}, "pending"),
        silence("h", "HAND"),                                     // acknowledged already
        silence("p1", "DISK", {{"board", "b1"}, {"severity", "critical"}}),
        silence("p2", "DISK"),                                    // one ack per alert
        other_board,
    });
    std::vector<std::string> changes;
    for (const board_ack_change &c : mirror_silence_acks(st, cfg, list, now))
        changes.push_back(c.key + (c.ack ? " ack " : " unack ") + c.who + " " + c.silence_id +
                          " " + std::to_string(c.until - now) + " " + c.note);
    EXPECT_EQ(changes,
              (std::vector<std::string>{
                  "DISK ack alice p1 3600 [silence p1] maintenance",
                  "LOAD ack alice b2 3600 [silence b2] note | acknowledged on the tarrow board "
                  "127.0.0.1:9004",
                  "OLD unack tarrow-bridge gone " + std::to_string(-now) + " "}));

    // Acks made for a silence, and alerts another silence holds, get no bridge silence;
    // the ack made by hand does.
    update({acked("DISK", "alice", "[silence p1] maintenance"), old, kept, by_hand});
    mirror_silence_acks(st, cfg, list, now);
    silence_plan plan = mirror_silences(st, cfg, {}, {}, now);
    EXPECT_TRUE(plan.create.empty());
    list.erase(7);      // the silence of HAND ends: the bridge silences the ack itself
    EXPECT_TRUE(mirror_silence_acks(st, cfg, list, now).size() == 1u);
    plan = mirror_silences(st, cfg, {}, {}, now);
    ASSERT_EQ(plan.create.size(), 1u);
    EXPECT_EQ(plan.create[0].key, "HAND");

    // While the board is lost, nothing is acknowledged or removed.
    mirror_update(st, cfg, nullptr, "refused", now);
    EXPECT_TRUE(mirror_silence_acks(st, cfg, list, now).empty());
}

TEST(mirror_time, stamps_read_and_write)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    for (time_t t : {time_t{0}, time_t{1700000000}, time_t{1719835200}})
        EXPECT_EQ(rfc3339_parse(rfc3339(t)), t);
    EXPECT_EQ(rfc3339(1719835200), "2024-07-01T14:00:00+02:00");
    EXPECT_EQ(rfc3339_parse("2024-07-01T12:00:00.123456Z"), 1719835200);
    EXPECT_EQ(rfc3339_parse("2024-07-01T10:30:00-01:30"), 1719835200);
    EXPECT_EQ(raised_parse("20240701 14:00"), 1719835200);
    for (const char *bad : {"", "2024-07-01", "2024-07-01T12:00:00", "2024-07-01T12:00:00+2",
                            "2024-07-01T1x:00:00Z"})
        EXPECT_EQ(rfc3339_parse(bad), -1) << bad;
    for (const char *bad : {"", "20240701 1400", "20241301 14:00", "20240701 24:00",
                            "2024070a 14:00", "20240701 14:00 "})
        EXPECT_EQ(raised_parse(bad), -1) << bad;
}

TEST(mirror_json, replies_are_bounded_before_parsing)
{
    std::string error;
    std::string deep_ok = std::string(JSON_MAX_DEPTH, '[') + std::string(JSON_MAX_DEPTH, ']');
    EXPECT_TRUE(json_read(deep_ok, error).is_array()) << error;
    std::string object_ok;
    for (int i = 0; i < JSON_MAX_DEPTH; i++)
        object_ok += "{\"a\":";
    object_ok += "1" + std::string(JSON_MAX_DEPTH, '}');
    EXPECT_TRUE(json_read(object_ok, error).is_object()) << error;
    // Brackets inside strings, escaped quotes among them, are text, not nesting.
    std::string in_text = "[\"" + std::string(100, '[') + "\\\"" + std::string(100, '{') + "\"]";
    json j = json_read(in_text, error);
    ASSERT_TRUE(j.is_array()) << error;
    EXPECT_EQ(j[0].get<std::string>().size(), 201u);

    const struct {
        const char *name;
        std::string text;
        const char *error;
    } refused[] = {
        {"one level too deep", "[" + deep_ok + "]", "JSON nested deeper than 32 levels"},
        {"16 MiB of [", std::string(16u << 20, '['), "a reply of 16777216 bytes, more than"},
        {"4 MiB of [", std::string(4u << 20, '['), "JSON nested deeper than 32 levels"},
        {"mixed nesting", "{\"a\":" + std::string(40, '[') + "1" + std::string(40, ']') + "}",
         "JSON nested deeper than 32 levels"},
        {"too long", "[" + std::string(JSON_MAX_BYTES, ' ') + "]", "a reply of 8388610 bytes"},
        {"not JSON", "<html>bad gateway</html>", "not JSON"},
        {"torn", "[{\"id\":\"x\"", "not JSON"},
    };
    for (const auto &c : refused) {
        error.clear();
        EXPECT_TRUE(json_read(c.text, error).is_discarded()) << c.name;
        EXPECT_EQ(error.substr(0, strlen(c.error)), c.error) << c.name;
    }
}

// An alert waiting behind a full board fires at once, marked by its place; moving onto the
// board changes the annotation only: the same alert, not resolved and fired again.
TEST_F(mirror_fixture, waiting_alerts_fire_and_keep_their_identity_on_the_board)
{
    EXPECT_EQ(update({alert("LOAD", "AW"),
                      alert("DISKFULL", "AC", "disk full", "20231114 23:13", "waiting")}),
              (std::vector<std::string>{"fired web01 LOAD (warning)",
                                        "fired web01 DISKFULL (critical)"}));
    EXPECT_EQ(posted("DISKFULL")["annotations"]["place"], "waiting");
    json labels = posted("DISKFULL")["labels"];
    EXPECT_TRUE(update({alert("DISKFULL", "AC", "disk full")}).size() == 1);   // LOAD resolved
    EXPECT_EQ(posted("DISKFULL")["annotations"]["place"], "board");
    EXPECT_EQ(posted("DISKFULL")["labels"], labels);
    EXPECT_TRUE(posted("DISKFULL", true).is_null());
}

// Both boards acknowledged at once: each bridge made a silence before it saw the other's.
// The bridge whose silence has the greater id gives its own up; the other keeps its.
TEST_F(mirror_fixture, two_bridges_that_silenced_one_alert_keep_one_silence)
{
    board_alert b = alert("DISK", "AK");
    b.ack = true;
    b.ack_by = "dave";
    b.ack_severity = "AC";
    b.ack_since = now - 10;
    update({b});
    json mine = mirror_silence(cfg, st.alerts.begin()->second, now - 5);
    mine["status"] = {{"state", "active"}};
    json theirs = mine;
    theirs["comment"] = "acknowledged on the tarrow board 127.0.0.1:9004";
    for (const auto &[own_id, other_id, expired] :
         {std::tuple{"b-own", "a-other", true}, std::tuple{"a-own", "b-other", false}}) {
        mine["id"] = own_id;
        theirs["id"] = other_id;
        json list = json::array({mine, theirs});
        EXPECT_TRUE(mirror_silence_acks(st, cfg, list, now).empty()) << "acknowledged already";
        silence_plan plan = mirror_silences(st, cfg, mirror_own_silences(list, cfg), {}, now);
        EXPECT_TRUE(plan.create.empty()) << own_id;
        EXPECT_EQ(plan.expire.size(), expired ? 1u : 0u) << own_id;
    }
}
