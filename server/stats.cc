// The server's own figures: counts since start-up and the summary a console asks for.
#include <cstdio>
#include <ctime>

#include "server/server.h"

server_stats stats;

void
stats_reset()
{
    stats = {};
    stats.start_time = static_cast<long>(time(nullptr));
}

// Appends "name value\n" while there is room.
static void
put(char *buf, std::size_t cap, std::size_t &len, const char *name, long value)
{
    if (len >= cap)
        return;
    int n = snprintf(buf + len, cap - len, "%s %ld\n", name, value);
    if (n > 0)
        len = len + static_cast<std::size_t>(n) < cap ? len + static_cast<std::size_t>(n) : cap;
}

static void
put(char *buf, std::size_t cap, std::size_t &len, const char *name, unsigned long value)
{
    put(buf, cap, len, name, static_cast<long>(value));
}

std::size_t
stats_summary(char *buf, std::size_t cap)
{
    long critical = alert_counts.critical, warning = alert_counts.warning;
    long info = alert_counts.info, acknowledged = alert_counts.acknowledged;
    long now = static_cast<long>(time(nullptr));
    long oldest = overflow_oldest_time();
    long age = oldest < 0 ? 0 : (now > oldest ? now - oldest : 0);
    std::size_t len = 0;
    put(buf, cap, len, "table_size", static_cast<long>(alert_table_size));
    put(buf, cap, len, "table_alerts", static_cast<long>(last_table_entry));
    put(buf, cap, len, "table_critical", critical);
    put(buf, cap, len, "table_warning", warning);
    put(buf, cap, len, "table_info", info);
    put(buf, cap, len, "table_acknowledged", acknowledged);
    put(buf, cap, len, "table_acknowledged_critical", alert_counts.acked_critical);
    put(buf, cap, len, "table_acknowledged_warning", alert_counts.acked_warning);
    put(buf, cap, len, "table_acknowledged_info", alert_counts.acked_info);
    table_counts w;
    long waiting_alerts = overflow_waiting_alerts(w);
    put(buf, cap, len, "waiting_alerts", waiting_alerts);
    put(buf, cap, len, "waiting_critical", w.critical);
    put(buf, cap, len, "waiting_warning", w.warning);
    put(buf, cap, len, "waiting_info", w.info);
    put(buf, cap, len, "waiting_acknowledged", w.acknowledged);
    put(buf, cap, len, "waiting_records", static_cast<long>(alerts_num_buffered()));
    put(buf, cap, len, "waiting_raise", waiting_types.raise);
    put(buf, cap, len, "waiting_clear", waiting_types.clear);
    put(buf, cap, len, "waiting_acknowledge", waiting_types.acknowledge);
    put(buf, cap, len, "waiting_clear_host", waiting_types.clear_host);
    put(buf, cap, len, "waiting_console", waiting_types.console);
    put(buf, cap, len, "waiting_other", waiting_types.other);
    put(buf, cap, len, "waiting_oldest_age_seconds", age);
    put(buf, cap, len, "received_critical", stats.received_critical);
    put(buf, cap, len, "received_warning", stats.received_warning);
    put(buf, cap, len, "received_info", stats.received_info);
    put(buf, cap, len, "received_clear", stats.received_clear);
    put(buf, cap, len, "received_clear_host", stats.received_clear_host);
    put(buf, cap, len, "received_acknowledge", stats.received_acknowledge);
    put(buf, cap, len, "received_log_only", stats.received_log_only);
    put(buf, cap, len, "received_unknown_type", stats.received_unknown_type);
    put(buf, cap, len, "console_requests", stats.console_requests);
    put(buf, cap, len, "shutdown_requests", stats.shutdown_requests);
    put(buf, cap, len, "acks_sent", stats.acks_sent);
    put(buf, cap, len, "stored_new", stats.stored_new);
    put(buf, cap, len, "stored_replaced", stats.stored_replaced);
    put(buf, cap, len, "info_displaced", stats.info_displaced);
    put(buf, cap, len, "records_spilled", stats.spilled);
    put(buf, cap, len, "records_replayed", stats.replayed);
    put(buf, cap, len, "refused_unknown_data", stats.refused_unknown_data);
    put(buf, cap, len, "refused_junk_limit", stats.refused_junk_limit);
    put(buf, cap, len, "refused_allow", stats.refused_allow);
    put(buf, cap, len, "refused_no_slot", stats.refused_no_slot);
    put(buf, cap, len, "refused_idle_eviction", stats.refused_idle_eviction);
    put(buf, cap, len, "log_write_failures", stats.log_write_failures);
    put(buf, cap, len, "overflow_append_failures", overflow_failed_appends);
    put(buf, cap, len, "table_saves", stats.table_saves);
    put(buf, cap, len, "connections_open", static_cast<long>(client_open_count));
    put(buf, cap, len, "connections_accepted", stats.connections_accepted);
    put(buf, cap, len, "start_time", stats.start_time);
    put(buf, cap, len, "uptime_seconds", now - stats.start_time);
    if (sync_to_disk && len < cap)
        len += table_store_figures(buf + len, cap - len);
    return len;
}
