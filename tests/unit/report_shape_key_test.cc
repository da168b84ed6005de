// The shape keys that spare the report a parse per statement: what they
// mask, when there is none, and that texts with one key have one
// fingerprint.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "quillrun/settings.h"
#include "report/shape_key.h"
#include "report/statement_shape.h"

namespace {

// Keys are written with "#" for the marker byte.
std::string marked(std::string key) {
    for (char &c : key)
        if (c == '#') c = '\x01';
    return key;
}

std::optional<std::string> key_of(const std::string &text) {
    std::string key = "left over from an earlier text";
    if (!report_shape_key(text.c_str(), &key)) return std::nullopt;
    return key;
}

TEST(ShapeKey, LiteralsBecomeMarkersOfTheirClass) {
    struct row {
        std::string text;
        std::optional<std::string> key;  // nullopt: no key
    } rows[] = {
        {"SELECT name FROM t WHERE id = 1", "SELECT name FROM t WHERE id = #i"},
        {"select * from t1 where a = 'it''s' and b = $$x$$ and c = $q$y $$ z$q$ and d = $1",
         "select * from t1 where a = #s and b = #s and c = #s and d = $1"},
        {"SELECT 1.5, .5, 1., 1e3, 1E-3, 2147483647, 2147483648, 007",
         "SELECT #f, #f, #f, #f, #f, #i, #f, #i"},
        {"SELECT 1e, 1..2", "SELECT #ie, #i.#f"},
        {"SELECT b'101', X'1F', n'it''s'", "SELECT B#b, X#x, N#s"},
        {"SELECT /* it's */ \"odd \"\" 'name\" -- isn't\nFROM t",
         "SELECT /* it's */ \"odd \"\" 'name\" -- isn't\nFROM t"},
        {"/* a /* 'b' */ 'c' */ (SELECT 1) UNION (SELECT 'x')",
         "/* a /* 'b' */ 'c' */ (SELECT #i) UNION (SELECT #s)"},
        {"WITH x AS (SELECT 1) INSERT INTO t SELECT * FROM x; DELETE FROM t WHERE v > 2",
         "WITH x AS (SELECT #i) INSERT INTO t SELECT * FROM x; DELETE FROM t WHERE v > #i"},
        {"SELECT a[1], a[ /* first */ 2 ], a[3:4], x::int[5] FROM t",
         "SELECT a[1], a[ /* first */ 2 ], a[3:#i], x::int[5] FROM t"},
        {"SELECT 'a'\n  'b'", "SELECT #s\n  #s"},
        {"BEGIN; SET search_path TO DEFAULT; COMMIT", "BEGIN; SET search_path TO DEFAULT; COMMIT"},
        {"SELECT 'a\\b'", "SELECT #s"},
        {"NOTIFY ch, 'a'", std::nullopt},
        {"SET work_mem = 64", std::nullopt},
        {"SELECT 1; SET work_mem = 64", std::nullopt},
        {"EXPLAIN SELECT 1", std::nullopt},
        {"1 + 1", std::nullopt},
        {"SELECT E'a\\n'", std::nullopt},
        {"SELECT U&'\\0061'", std::nullopt},
        {"SELECT x::float(5) FROM t", std::nullopt},
        {"SELECT 'abc", std::nullopt},
        {"SELECT b'10", std::nullopt},
        {"SELECT $$abc", std::nullopt},
        {"SELECT \"abc", std::nullopt},
        {"SELECT 1 /* a /* b */", std::nullopt},
        {"SELECT '\x01', /* \x01 */ \"\x01\"", "SELECT #s, /* \x01 */ \"\x01\""},
        {"SELECT \x01i", std::nullopt},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        EXPECT_EQ(key_of(r.text), r.key ? std::optional(marked(*r.key)) : std::nullopt);
    }
}

TEST(ShapeKey, BackslashesInStringsUnderTheQuoteOptionHaveNoKey) {
    int saved = backslash_quote;
    backslash_quote = 1;
    EXPECT_EQ(key_of("SELECT 'a\\'b'"), std::nullopt);
    EXPECT_EQ(key_of("SELECT 'ab'"), marked("SELECT #s"));
    EXPECT_EQ(key_of("SELECT B'1\\'"), marked("SELECT B#b"));  // bit strings have no escapes
    backslash_quote = saved;
}

// Every pair of texts with the same key must have the same fingerprint, and
// the parser must accept both or neither.
TEST(ShapeKey, TextsWithOneKeyHaveOneFingerprint) {
    const std::vector<std::string> corpus = {
        "SELECT * FROM t WHERE id = 1",
        "SELECT * FROM t WHERE id = 22",
        "SELECT * FROM t WHERE id = 99999999999",
        "SELECT * FROM t WHERE id = 1.5",
        "SELECT * FROM t WHERE id = 'x'",
        "SELECT * FROM t WHERE id = $$x$$",
        "SELECT * FROM t WHERE id = -7",
        "SELECT x::char(10) FROM t",
        "SELECT x::char(12) FROM t",
        "SELECT x::char(99999999999) FROM t",
        "SELECT x::int[3] FROM t",
        "SELECT x::int[4] FROM t",
        "SELECT a[1] FROM t",
        "SELECT x::float(5) FROM t",
        "SELECT x::float(30) FROM t",
        "SELECT a[2] FROM t",
        "SELECT x FROM t LIMIT 5",
        "SELECT x FROM t LIMIT 50",
        "SELECT 1e",
        "SELECT 2e",
        "SELECT 12abc",
        "SELECT 1.5e3",
        "SELECT 4",
        "SELECT B'101'",
        "SELECT B'11'",
        "SELECT B'1''0'",
        "SELECT X'1F'",
        "UPDATE pgbench_accounts SET abalance = abalance + -4250 WHERE aid = 63803",
        "UPDATE pgbench_accounts SET abalance = abalance + -17 WHERE aid = 2",
        "INSERT INTO h (tid, bid, aid, delta, mtime) VALUES (5, 1, 63803, -4250, "
        "CURRENT_TIMESTAMP)",
        "INSERT INTO h (tid, bid, aid, delta, mtime) VALUES (1, 2, 3, -4, CURRENT_TIMESTAMP)",
        "MERGE INTO t USING s ON t.id = s.id WHEN MATCHED THEN UPDATE SET v = 1",
        "MERGE INTO t USING s ON t.id = s.id WHEN MATCHED THEN UPDATE SET v = 'z'",
        "SELECT interval '1' second(3)",
        "SELECT interval '2 days' second(4)",
        "SELECT x::numeric(10,2) FROM t",
        "SELECT x::numeric(12,3) FROM t",
        "SELECT x FROM t WHERE y IN (1, 2, 3)",
        "SELECT x FROM t WHERE y IN (4, 5, 6)",
        "SELECT 'a'\n'b'",
        "SELECT 'a' 'b'",
        "SELECT 'c'\n'd'",
    };
    struct entry {
        std::string text;
        std::string key;
        statement_shape shape;
    };
    std::vector<entry> keyed;
    for (const std::string &text : corpus) {
        std::string key;
        if (report_shape_key(text.c_str(), &key))
            keyed.push_back({text, key, report_statement_shape(text.c_str())});
    }
    EXPECT_EQ(keyed.size(), corpus.size() - 2);  // all but float(n)
    int shared = 0;
    for (size_t i = 0; i < keyed.size(); ++i)
        for (size_t j = i + 1; j < keyed.size(); ++j) {
            if (keyed[i].key != keyed[j].key) continue;
            ++shared;
            SCOPED_TRACE(keyed[i].text + " | " + keyed[j].text);
            EXPECT_EQ(keyed[i].shape.parsed, keyed[j].shape.parsed);
            if (keyed[i].shape.parsed) {
                EXPECT_EQ(keyed[i].shape.hash, keyed[j].shape.hash);
            }
        }
    EXPECT_GE(shared, 10);  // the corpus is mostly pairs that differ in literals only
    EXPECT_EQ(key_of(corpus[27]), key_of(corpus[28]));  // pgbench's update
    EXPECT_EQ(key_of(corpus[29]), key_of(corpus[30]));  // and insert
}

}  // namespace
