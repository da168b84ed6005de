#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "parse/line_prefix.h"
#include "parse/parse_state.h"
#include "support/capture.h"
#include "support/test_log.h"
#include "support/utc_test.h"

namespace {

std::string span_text(const std::string &line, const text_span &span) {
    return span.present ? line.substr(span.start, span.length) : "<none>";
}

// What a line that matched yields: time, session id, process id, user,
// database, level word; or "<no match>".
std::string describe_match(const char *prefix_text, const std::string &line) {
    static line_prefix prefix;
    stream_capture err(stderr);
    bool compiled = compile_line_prefix(prefix_text, &prefix);
    EXPECT_TRUE(compiled) << prefix_text << ": " << err.stop();
    prefix_match match;
    if (!match_line_prefix(prefix, line.c_str(), line.size(), &match)) return "<no match>";
    return span_text(line, match.time) + "|" + span_text(line, match.session_id) + "|" +
           span_text(line, match.process_id) + "|" + span_text(line, match.user) + "|" +
           span_text(line, match.database) + "|" +
           line.substr(match.level_start, match.level_end - match.level_start);
}

const char stamp[] = "2026-12-10 10:00:00.123 UTC";

TEST(LinePrefix, FindsTheFieldsOfLinesTheServerWrites) {
    const std::string t = "2026-12-10 10:00:00 UTC";
    const std::string m = stamp;
    struct row {
        const char *prefix;
        std::string line;
        std::string expected;
    } rows[] = {
        {"%m [%p] %q%u@%d ", m + " [42] alice@shop LOG:  statement: SELECT 1",
         m + "|<none>|42|alice|shop|LOG"},
        // %q: a process without a session writes nothing from there on.
        {"%m [%p] %q%u@%d ", m + " [42] LOG:  checkpoint starting: time",
         m + "|<none>|42|<none>|<none>|LOG"},
        {"%t [%p]: user=%u,db=%d,app=%a,client=%h ",
         t + " [7]: user=[unknown],db=[unknown],app=[unknown],client=[local] LOG:  connection "
             "received: host=[local]",
         t + "|<none>|7|[unknown]|[unknown]|LOG"},
        // Background processes leave the names empty.
        {"%t [%p]: user=%u,db=%d,app=%a,client=%h ", t + " [7]: user=,db=,app=,client= LOG:  x",
         t + "|<none>|7|||LOG"},
        {"%m|%u|%d|%c|", m + "|alice|shop|4d1dd3b8.1c4d|ERROR:  boom",
         m + "|4d1dd3b8.1c4d|<none>|alice|shop|ERROR"},
        // Padding on either side; blanks are not part of the value.
        {"%m %-7p|%10u|%-8d|%c ", m + " 42     |     alice|shop    |5f0.2a LOG:  x",
         m + "|5f0.2a|42|alice|shop|LOG"},
        {"%m %5p %-6u:%d ", m + "    42 bob   :shop LOG:  x", m + "|<none>|42|bob|shop|LOG"},
        // %% and literal text with blanks; a value with the literal after
        // it in it is cut where the rest of the line still matches.
        {"%m %% pid %p in %d: ", m + " % pid 9 in my: db: LOG:  x",
         m + "|<none>|9|<none>|my: db|LOG"},
        {"%m [%p] %u@%d ", m + " [42] al ice@my db LOG:  x", m + "|<none>|42|al ice|my db|LOG"},
        // The escapes that are only skipped, each in its own form.
        {"%n %c %l %e %x %v %Q %P %s %i|%b|%r|%a| %p ",
         "1765360800.123 5f0.2a 12 42P01 0 3/17 -4711 99 " + t +
             " idle in transaction|client backend|10.0.0.1(5432)|pg bench| 1 STATEMENT:  x",
         "1765360800.123|5f0.2a|1|<none>|<none>|STATEMENT"},
        {"%n %c %v %P %p ", "1765360800.123 5f0.2a   1 LOG:  x",
         "1765360800.123|5f0.2a|1|<none>|<none>|LOG"},
        {"%m [%p] ", m + " [42] CONTEXT:  SQL function", m + "|<none>|42|<none>|<none>|CONTEXT"},
        // Lines that do not begin with the prefix.
        {"%m [%p] ", "pg_ctl: another server might be running", "<no match>"},
        {"%m [%p] ", m + "|alice|shop|1.2|LOG:  x", "<no match>"},
        {"%m [%p] ", m + " [42] no level word here", "<no match>"},
        {"%m [%p] ", m + " [42]  LOG:  two blanks", "<no match>"},
        {"%m [%p] ", "2026-12-10 10:00:00 UTC [42] LOG:  %t, not %m", "<no match>"},
        {"%t [%p] ", m + " [42] LOG:  %m, not %t", "<no match>"},
        {"%m [%p] ", "2026-12-10 10:00:00.123 [42] LOG:  no zone", "<no match>"},
        {"%m [%p] %u@%d ", m + " [42] alice@shop\nLOG:  across lines", "<no match>"},
        {"%m|%u|%d|%c|", m + "|alice|shop|4D1DD3B8.1C4D|LOG:  upper case", "<no match>"},
        {"%m|%u|%d|%c|", m + "|alice|shop|123456789.1|LOG:  too long", "<no match>"},
        {"%m %p ", "", "<no match>"},
    };
    for (const row &r : rows)
        EXPECT_EQ(describe_match(r.prefix, r.line), r.expected) << r.prefix << " / " << r.line;
}

// A line of another program with many candidate ends for many variable
// fields is given up on, not searched through every combination.
TEST(LinePrefix, GivesUpOnHopelessLinesQuickly) {
    std::string line = std::string(stamp) + " 1 ";
    for (int i = 0; i < 2000; ++i) line += "a@";
    EXPECT_EQ(describe_match("%m %p %u@%d@%a@%h@%r@%i@%b@ ", line), "<no match>");
}

const uint64_t session = 0x5f00000002a;

std::string at(const char *clock) { return std::string("2000-01-01 00:00:") + clock + " UTC"; }

class PrefixedEntries : public utc_test {};

TEST_F(PrefixedEntries, ReadEntriesDetailsAndContinuations) {
    const char *prefix = "%m [%p] %q%u@%d %c ";
    auto line = [](const char *clock, const std::string &rest) {
        return at(clock) + " [42] alice@shop 5f0.2a " + rest + "\n";
    };
    std::vector<entry_case> cases;
    cases.push_back(
        {"details, continuation lines, [unknown], a process without a session",
         at("01.000") + " [42] [unknown]@[unknown] 5f0.2a LOG:  connection received: host=x\n" +
             line("01.500", "LOG:  execute s1: SELECT $1") +
             line("01.500", "DETAIL:  parameters: $1 = '7'") +
             // Without the %c after %q, its process id stands for the session.
             at("02.000") + " [43] LOG:  checkpoint starting: time\n" +
             line("03.000", "LOG:  statement: SELECT 1") + "\tFROM t\n",
         {entry(1, 0, "", "", session, log_log, "connection received: host=x"),
          entry(1, 500, "alice", "shop", session, log_log, "execute s1: SELECT $1",
                "parameters: $1 = '7'"),
          entry(2, 0, "", "", 43, log_log, "checkpoint starting: time"),
          entry(3, 0, "alice", "shop", session, log_log, "statement: SELECT 1\nFROM t")},
         0, "", nullptr, nullptr, prefix});
    cases.push_back(
        {"a first line that does not match", "hello world\n", {}, -1,
         "Error parsing line 1: line does not match log_line_prefix \"%m [%p] %q%u@%d %c \"\n",
         nullptr, nullptr, prefix});
    cases.push_back(
        {"a line after an entry that does not match",
         line("01.000", "LOG:  statement: SELECT 1") + line("02.000", "LOG:  x") + "garbage\n",
         {entry(1, 0, "alice", "shop", session, log_log, "statement: SELECT 1")}, -1,
         "Error parsing line 3: line does not match log_line_prefix \"%m [%p] %q%u@%d %c \"\n",
         nullptr, nullptr, prefix});
    check_entry_cases(cases, 0);
}

TEST_F(PrefixedEntries, TellSessionsByProcessIdAndTakeNamesFromTheConnection) {
    auto line = [](const char *clock, int pid, const std::string &rest) {
        return at(clock) + " [" + std::to_string(pid) + "] " + rest + "\n";
    };
    const std::string authorized =
        "LOG:  connection authorized: user=alice database=my db application_name=psql";
    const uint64_t first = 0x100000000 | 42, second = 0x200000000 | 42,
                   background = 0x300000000 | 43, third = 0x400000000 | 42;
    check_entry_cases(
        {{"a reused process id starts a new session at its connection entries",
          line("01.000", 42, "LOG:  connection received: host=[local]") +
              line("01.000", 42, authorized) + line("02.000", 42, "LOG:  statement: SELECT 1") +
              // The process ended without a disconnection line.
              line("03.000", 42, "LOG:  connection authorized: user=bob database=shop") +
              line("03.500", 43, "LOG:  checkpoint starting: time") +
              line("04.000", 42, "LOG:  disconnection: session time: 0:00:01.000") +
              line("05.000", 42, "LOG:  statement: SELECT 2"),
          {entry(1, 0, "", "", first, log_log, "connection received: host=[local]"),
           entry(1, 0, "alice", "my db", first, log_log, authorized.substr(6)),
           entry(2, 0, "alice", "my db", first, log_log, "statement: SELECT 1"),
           entry(3, 0, "bob", "shop", second, log_log,
                 "connection authorized: user=bob database=shop"),
           entry(3, 500, "", "", background, log_log, "checkpoint starting: time"),
           entry(4, 0, "bob", "shop", second, log_log,
                 "disconnection: session time: 0:00:01.000"),
           // After the disconnection the process id names another process.
           entry(5, 0, "", "", third, log_log, "statement: SELECT 2")},
          0, "", nullptr, nullptr, "%m [%p] "}},
        0);
    // With %c the session id is the server's; the names still come from
    // the connection entry when the prefix lacks them.
    check_entry_cases(
        {{"names without %u and %d",
          at("01.000") + " 5f0.2a LOG:  connection authorized: user=carol database=db1 "
                         "application_name=x SSL enabled (protocol=TLSv1.3, bits=256)\n" +
              at("02.000") + " 5f0.2a LOG:  statement: SELECT 1\n",
          {entry(1, 0, "carol", "db1", session, log_log,
                 "connection authorized: user=carol database=db1 application_name=x SSL enabled "
                 "(protocol=TLSv1.3, bits=256)"),
           entry(2, 0, "carol", "db1", session, log_log, "statement: SELECT 1")},
          0, "", nullptr, nullptr, "%m %c "}},
        0);
}

TEST_F(PrefixedEntries, TimesFromEachTimeEscapeAndTheWindow) {
    // 946684800 is 2000-01-01 00:00:00 UTC.
    check_entry_cases(
        {{"%t: to the second", "2000-01-01 00:00:02 UTC [1] LOG:  a\n", {entry(2, 0, "", "", 0x100000001, log_log, "a")},
          0, "", nullptr, nullptr, "%t [%p] "},
         {"%n: seconds since the epoch",
          "946684801.250 [1] LOG:  a\n946684803.000 [1] LOG:  b\n946684805.500 [1] LOG:  c\n",
          {entry(3, 0, "", "", 0x100000001, log_log, "b")}, 0, "",
          "2000-01-01 00:00:02.000", "2000-01-01 00:00:04.000", "%n [%p] "},
         {"%t in the window: equal to its bounds is inside",
          "2000-01-01 00:00:01 UTC [1] LOG:  a\n2000-01-01 00:00:02 UTC [1] LOG:  b\n"
          "2000-01-01 00:00:03 UTC [1] LOG:  c\n",
          {entry(2, 0, "", "", 0x100000001, log_log, "b")}, 0, "", "2000-01-01 00:00:02.000",
          "2000-01-01 00:00:02.000", "%t [%p] "},
         // The time is read from where the prefix puts it.
         {"%m after other fields",
          "[1] " + at("01.000") + " LOG:  a\n[1] " + at("03.000") + " LOG:  b\n",
          {entry(3, 0, "", "", 0x100000001, log_log, "b")}, 0, "", "2000-01-01 00:00:02.000",
          nullptr, "[%p] %m "},
         {"a time out of range", "99999999999999.000 [1] LOG:  a\n", {}, -1,
          "Error parsing line 1: time stamp \"99999999999999.000\" is out of range\n", nullptr,
          nullptr, "%n [%p] "}},
        0);
}

}  // namespace
