// The replay file, written and read in-process through real descriptors:
// exact bytes, round trips, standard streams, and the reader's handling of
// corrupt, cut and hostile files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "quillrun/alloc.h"
#include "quillrun/replayfile.h"
#include "support/capture.h"
#include "support/run_binary.h"

namespace {

struct item_releaser {
    void operator()(replay_item *item) const { replay_free(item); }
};
using owned_item = std::unique_ptr<replay_item, item_releaser>;

// Record fields, for building files by hand.
std::string big_endian(uint64_t value, int width) {
    std::string bytes(static_cast<size_t>(width), '\0');
    for (size_t i = bytes.size(); i-- > 0; value >>= 8) bytes[i] = static_cast<char>(value & 0xFF);
    return bytes;
}
std::string text(const std::string &s) { return big_endian(s.size(), 4) + s; }
const std::string null_text = big_endian(0x80000000u, 4);
std::string header(uint32_t seconds, uint32_t microseconds, uint64_t session_id, uint8_t type) {
    return big_endian(seconds, 4) + big_endian(microseconds, 4) + big_endian(session_id, 8) +
           big_endian(type, 1);
}

// Everything an item carries, for comparing items.
std::string describe(const replay_item *r) {
    std::string out = std::to_string(replay_get_type(r)) + " " +
                      std::to_string(replay_get_time(r)->tv_sec) + "." +
                      std::to_string(replay_get_time(r)->tv_usec) + " " +
                      std::to_string(replay_get_session_id(r));
    auto add = [&out](const char *s) {
        out += s == nullptr ? " <null>" : " [" + std::string(s) + "]";
    };
    switch (replay_get_type(r)) {
        case pg_connect: add(replay_get_user(r)); add(replay_get_database(r)); break;
        case pg_execute: add(replay_get_statement(r)); break;
        case pg_prepare: add(replay_get_name(r)); add(replay_get_statement(r)); break;
        case pg_exec_prepared:
            add(replay_get_name(r));
            out += " n=" + std::to_string(replay_get_valuecount(r));
            for (int i = 0; i < replay_get_valuecount(r); ++i) add(replay_get_values(r)[i]);
            break;
        default: break;
    }
    if (replay_get_recorded_duration(r) != no_recorded_duration)
        out += " took " + std::to_string(replay_get_recorded_duration(r));
    return out;
}

replay_item *with_recorded_duration(replay_item *item, int64_t microseconds) {
    replay_set_recorded_duration(item, microseconds);
    return item;
}

// Writes the items into a new file through the consumer; returns its bytes.
std::string write_items(std::vector<replay_item *> items) {
    temp_dir dir;
    std::string path = dir.file("replay");
    EXPECT_EQ(file_consumer_init(path.c_str(), nullptr, -1, nullptr, 1.0), 1);
    for (replay_item *item : items) EXPECT_EQ(file_consumer(item), 1);
    EXPECT_EQ(file_consumer_complete(), 1);
    file_consumer_finish(0);
    EXPECT_FALSE(file_consumer_write_failed());
    return read_file(path);
}

struct read_outcome {
    std::vector<std::string> items;  // described
    bool clean_end = false;          // end_item rather than null
    std::string err;
};

// Reads the provider's items until the end or the first failure.
read_outcome read_until_end(const char *infile) {
    read_outcome outcome;
    stream_capture err(stderr);
    if (file_provider_init(infile, 0, nullptr, nullptr, nullptr, nullptr) == 1) {
        for (replay_item *item; (item = file_provider()) != nullptr;) {
            if (item == end_item) {
                outcome.clean_end = true;
                break;
            }
            outcome.items.push_back(describe(owned_item(item).get()));
        }
    }
    file_provider_finish();
    outcome.err = err.stop();
    return outcome;
}

read_outcome read_bytes(const std::string &bytes) {
    temp_dir dir;
    write_file(dir.file("replay"), bytes);
    return read_until_end(dir.file("replay").c_str());
}

const struct timeval t_example = {1, 500000};
const uint64_t sid = 0x4d1dd3b800001c4dULL;

TEST(ReplayFileWriter, WritesRecordsByteExact) {
    const char *null_and_empty[] = {nullptr, ""};
    const struct timeval before_base = {-1, 7};
    struct row {
        const char *what;
        replay_item *item;
        std::string bytes;
    } rows[] = {
        {"execute example", replay_create_execute(&t_example, sid, "SELECT 1"),
         std::string("\x00\x00\x00\x01\x00\x07\xA1\x20\x4D\x1D\xD3\xB8\x00\x00\x1C\x4D\x02"
                     "\x00\x00\x00\x08SELECT 1\x0A", 30)},
        {"connect", replay_create_connect(&t_example, 2, "alice", "shop"),
         header(1, 500000, 2, 0) + text("alice") + text("shop") + "\n"},
        {"prepare stores the statement first",
         replay_create_prepare(&t_example, 2, "s1", "SELECT $1"),
         header(1, 500000, 2, 3) + text("SELECT $1") + text("s1") + "\n"},
        {"null and empty values",
         replay_create_exec_prepared(&t_example, 2, "s1", 2, null_and_empty),
         header(1, 500000, 2, 4) + text("s1") + big_endian(2, 2) +
             std::string("\x80\x00\x00\x00\x00\x00\x00\x00", 8) + "\n"},
        {"no values", replay_create_exec_prepared(&t_example, 2, "s1", 0, nullptr),
         header(1, 500000, 2, 4) + text("s1") + big_endian(0, 2) + "\n"},
        {"a recorded duration flags the type and follows the header",
         with_recorded_duration(replay_create_execute(&t_example, 2, "SELECT 1"), 3104),
         header(1, 500000, 2, 0x82) + big_endian(3104, 8) + text("SELECT 1") + "\n"},
        {"an execution's recorded duration",
         with_recorded_duration(replay_create_exec_prepared(&t_example, 2, "s1", 0, nullptr),
                                0x123456789),
         header(1, 500000, 2, 0x84) + big_endian(0x123456789, 8) + text("s1") + big_endian(0, 2) +
             "\n"},
        {"negative seconds keep their low 32 bits", replay_create_cancel(&before_base, 3),
         std::string("\xFF\xFF\xFF\xFF", 4) + big_endian(7, 4) + big_endian(3, 8) + '\x05' + "\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_EQ(write_items({row.item}), row.bytes);
    }
}

TEST(ReplayFile, RoundTripKeepsEveryField) {
    const struct timeval earliest = {0, 0}, latest = {4294967295, 999999};
    const char *values[] = {"1", nullptr, "", "it's"};
    std::string long_statement(200 * 1024, 'x');  // spans several blocks
    std::vector<replay_item *> items = {
        replay_create_connect(&earliest, 1, "alice", ""),
        replay_create_execute(&latest, UINT64_MAX, long_statement.c_str()),
        replay_create_prepare(&t_example, sid, "", "SELECT $1, $2, $3, $4"),
        replay_create_exec_prepared(&t_example, sid, "s1", 4, values),
        replay_create_exec_prepared(&t_example, sid, "s2", 0, nullptr),
        with_recorded_duration(replay_create_execute(&t_example, sid, "SELECT 2"), 0),
        with_recorded_duration(replay_create_exec_prepared(&t_example, sid, "s2", 0, nullptr),
                               INT64_MAX),
        replay_create_cancel(&latest, sid),
    };
    // Enough small records that block edges fall inside record headers.
    for (uint64_t i = 0; i < 5000; ++i) items.push_back(replay_create_disconnect(&t_example, i));
    std::vector<std::string> expected;
    for (replay_item *item : items) expected.push_back(describe(item));

    read_outcome back = read_bytes(write_items(items));
    EXPECT_TRUE(back.clean_end);
    EXPECT_EQ(back.err, "");
    EXPECT_EQ(back.items, expected);

    const struct timeval before_base = {-2, 5};
    read_outcome wrapped = read_bytes(write_items({replay_create_disconnect(&before_base, 1)}));
    ASSERT_EQ(wrapped.items.size(), 1u);
    EXPECT_EQ(wrapped.items[0], "1 4294967294.5 1");
}

// A pipe hands the reader whatever has arrived; here every read gets one
// byte.  None of those short reads may be taken for the end of the file.
TEST(ReplayFileReader, PipeDeliveringOneByteAtATimeIsNotTruncation) {
    const char *values[] = {"42", nullptr};
    std::vector<replay_item *> items = {
        replay_create_connect(&t_example, 9, "alice", "shop"),
        replay_create_exec_prepared(&t_example, 9, "s1", 2, values),
        replay_create_disconnect(&t_example, 9),
    };
    std::vector<std::string> expected;
    for (replay_item *item : items) expected.push_back(describe(item));
    std::string bytes = write_items(items);

    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    int saved_stdin = dup(0);
    dup2(pipe_fds[0], 0);
    std::atomic<bool> reader_done{false};
    std::thread writer([&] {
        for (char byte : bytes) {
            if (write(pipe_fds[1], &byte, 1) != 1) break;
            int pending = 1;
            while (!reader_done && ioctl(pipe_fds[0], FIONREAD, &pending) == 0 && pending > 0)
                usleep(50);
        }
        close(pipe_fds[1]);
    });
    read_outcome back = read_until_end(nullptr);
    reader_done = true;
    writer.join();
    dup2(saved_stdin, 0);
    close(saved_stdin);
    close(pipe_fds[0]);

    EXPECT_EQ(back.err, "");
    EXPECT_TRUE(back.clean_end);
    EXPECT_EQ(back.items, expected);
}

TEST(ReplayFileWriter, NoNameEmptyNameAndDashWriteToStandardOutput) {
    const char *names[] = {nullptr, "", "-"};
    for (const char *name : names) {
        SCOPED_TRACE(name == nullptr ? "no name" : name);
        stream_capture out(stdout);
        ASSERT_EQ(file_consumer_init(name, nullptr, -1, nullptr, 1.0), 1);
        EXPECT_EQ(file_consumer(replay_create_cancel(&t_example, 5)), 1);
        EXPECT_EQ(file_consumer_complete(), 1);
        file_consumer_finish(0);
        EXPECT_NE(fcntl(1, F_GETFD), -1) << "standard output was closed";
        EXPECT_EQ(out.stop(), header(1, 500000, 5, 5) + "\n");
    }
}

// A named file is written beside itself, readable by its owner only
// whatever the umask, and replaces the old file at the completion.  Without
// the completion (a failed or interrupted run) the old file stays as it was
// and nothing else is left behind.
TEST(ReplayFileWriter, ReplacesANamedFileOnlyWhenComplete) {
    for (bool completed : {true, false}) {
        SCOPED_TRACE(completed ? "completed" : "not completed");
        temp_dir dir;
        std::string path = dir.file("old");
        write_file(path, "old contents");
        mode_t saved = umask(0);
        ASSERT_EQ(file_consumer_init(path.c_str(), nullptr, -1, nullptr, 1.0), 1);
        umask(saved);
        EXPECT_EQ(file_consumer(replay_create_cancel(&t_example, 5)), 1);

        std::vector<std::string> during = list_directory(dir.path());
        ASSERT_EQ(during.size(), 2u);
        EXPECT_TRUE(during[1].starts_with("old.")) << during[1];
        struct stat status;
        ASSERT_EQ(stat(dir.file(during[1]).c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, 0600u);
        EXPECT_EQ(read_file(path), "old contents");

        if (completed) {
            EXPECT_EQ(file_consumer_complete(), 1);
        }
        file_consumer_finish(0);
        EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"old"});
        EXPECT_EQ(read_file(path), completed ? header(1, 500000, 5, 5) + "\n" : "old contents");
        ASSERT_EQ(stat(path.c_str(), &status), 0);
        EXPECT_EQ(status.st_mode & 0777, completed ? 0600u : 0644u);
    }
}

// The finish closes the descriptor even when the open failed, and reports
// that the close failed too.  Traces show which operations left normally.
TEST(ReplayFile, FailedOpensAreReportedAndTheFinishReportsTheClose) {
    debug_level_scope level(3);
    temp_dir dir;
    std::string missing = dir.file("missing");
    std::string unreachable = dir.file("no/such/dir");

    stream_capture provider_err(stderr);
    EXPECT_EQ(file_provider_init(missing.c_str(), 0, nullptr, nullptr, nullptr, nullptr), 0);
    file_provider_finish();
    EXPECT_EQ(provider_err.stop(),
              "Entering file_provider_init\n"
              "Error opening input file:: No such file or directory\n"
              "Leaving file_provider_init\n"
              "Entering file_provider_finish\n"
              "Error closing input file:: Bad file descriptor\n"
              "Leaving file_provider_finish\n");

    stream_capture consumer_err(stderr);
    EXPECT_EQ(file_consumer_init(unreachable.c_str(), nullptr, -1, nullptr, 1.0), 0);
    file_consumer_finish(0);
    EXPECT_EQ(consumer_err.stop(),
              "Entering file_consumer_init\n"
              "Error opening output file:: No such file or directory\n"
              "Entering file_consumer_finish\n"
              "Error closing output file:: Bad file descriptor\n"
              "Leaving file_consumer_finish\n");
}

TEST(ReplayFileReader, TracesAndDumpsEachItemButNotTheEnd) {
    temp_dir dir;
    write_file(dir.file("replay"), header(3, 4, 0x1c, 5) + "\n");
    debug_level_scope level(3);
    read_outcome back = read_until_end(dir.file("replay").c_str());
    EXPECT_EQ(back.err,
              "Entering file_provider_init\n"
              "Leaving file_provider_init\n"
              "Entering file_provider\n"
              "Entering replay_create_cancel\n"
              "Leaving replay_create_cancel\n"
              "---------------------------\n"
              "Item: time       = 3.000004\n"
              "      session id = 0x1c\n"
              "      type       = cancel\n"
              "---------------------------\n"
              "Leaving file_provider\n"
              "Entering replay_free\n"
              "Leaving replay_free\n"
              "Entering file_provider\n"
              "Entering file_provider_finish\n"
              "Leaving file_provider_finish\n");
}

// Every cut of a two-record file: a cut between records is a clean end,
// any other cut is reported, and the records before it still come through.
TEST(ReplayFileReader, RecordCutAnywhereIsAnUnexpectedEnd) {
    const char *values[] = {nullptr, "", "x"};
    std::string first = write_items({replay_create_connect(&t_example, 1, "u", "db")});
    std::string file = first + write_items({with_recorded_duration(
                                   replay_create_exec_prepared(&t_example, 1, "s", 3, values), 7)});
    for (size_t cut = 0; cut < file.size(); ++cut) {
        SCOPED_TRACE(cut);
        read_outcome back = read_bytes(file.substr(0, cut));
        bool at_boundary = cut == 0 || cut == first.size();
        EXPECT_EQ(back.clean_end, at_boundary);
        EXPECT_EQ(back.items.size(), cut < first.size() ? 0u : 1u);
        EXPECT_EQ(back.err, at_boundary ? "" : "Error: unexpected end of file on input file\n");
    }
}

// Files that the writer never produces.  All of them run under a 1 MiB
// allocation limit: no length or count may make the reader allocate more
// than the file's contents justify.
TEST(ReplayFileReader, RefusesCorruptAndHostileRecords) {
    const std::string sql = text("SELECT 1");
    struct row {
        const char *what;
        std::string bytes;
        std::string err;
    } rows[] = {
        {"type 6", header(0, 0, 1, 6) + "\n", "Error: unknown type 6 encountered\n"},
        {"type 255", header(0, 0, 1, 255) + "\n", "Error: unknown type 255 encountered\n"},
        {"a recorded duration on a connect", header(0, 0, 1, 0x80) + big_endian(1, 8) + "\n",
         "Error: unknown type 128 encountered\n"},
        {"a recorded duration on a prepare", header(0, 0, 1, 0x83) + big_endian(1, 8) + "\n",
         "Error: unknown type 131 encountered\n"},
        {"a recorded duration past the largest",
         header(0, 0, 1, 0x82) + big_endian(0x8000000000000000u, 8) + sql + "\n",
         "Error: invalid recorded duration in replay file\n"},
        {"no newline", header(0, 0, 1, 2) + sql + "X", "Error: missing new-line at end of line\n"},
        {"null user", header(0, 0, 1, 0) + null_text + text("db") + "\n",
         "Error: null string where a user name belongs in replay file\n"},
        {"null database", header(0, 0, 1, 0) + text("u") + null_text + "\n",
         "Error: null string where a database name belongs in replay file\n"},
        {"null statement", header(0, 0, 1, 2) + null_text + "\n",
         "Error: null string where a statement belongs in replay file\n"},
        {"null prepared statement", header(0, 0, 1, 3) + null_text + text("s") + "\n",
         "Error: null string where a statement belongs in replay file\n"},
        {"null prepared name", header(0, 0, 1, 3) + sql + null_text + "\n",
         "Error: null string where a statement name belongs in replay file\n"},
        {"null executed name", header(0, 0, 1, 4) + null_text + big_endian(0, 2) + "\n",
         "Error: null string where a statement name belongs in replay file\n"},
        {"length just above the largest", header(0, 0, 1, 2) + big_endian(0x80000001u, 4) + "\n",
         "Error: invalid string length 2147483649 in replay file\n"},
        {"length of all ones",
         header(0, 0, 1, 4) + text("s") + big_endian(1, 2) + big_endian(0xFFFFFFFFu, 4),
         "Error: invalid string length 4294967295 in replay file\n"},
        {"65535 values", header(0, 0, 1, 4) + text("s") + big_endian(65535, 2) + "\n",
         "Error: 65535 values in replay file, a statement execution holds at most 65534\n"},
        {"largest length in a tiny file", header(0, 0, 1, 2) + big_endian(0x7FFFFFFFu, 4) + "abc",
         "Error: unexpected end of file on input file\n"},
        {"most values in a tiny file", header(0, 0, 1, 4) + text("s") + big_endian(65534, 2) + sql,
         "Error: unexpected end of file on input file\n"},
    };
    qr_fail_allocations_above(1 << 20);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        read_outcome back = read_bytes(row.bytes);
        EXPECT_FALSE(back.clean_end);
        EXPECT_TRUE(back.items.empty());
        EXPECT_EQ(back.err, row.err);
    }
    qr_fail_allocations_above(0);
}

TEST(ReplayFileReader, ReadAndAllocationFailuresAreReported) {
    temp_dir dir;
    read_outcome directory = read_until_end(dir.path().c_str());
    EXPECT_FALSE(directory.clean_end);
    EXPECT_EQ(directory.err, "Error reading from input file: Is a directory\n");

    const char *values[] = {"v1", "v2", "v3"};
    std::string file = write_items({replay_create_exec_prepared(&t_example, 1, "name", 3, values)});
    struct row {
        const char *what;
        long failing_allocation;
        std::string err;
    } rows[] = {
        {"name buffer", 1, "Cannot allocate 5 bytes of memory\n"},
        {"value array", 2,
         "Cannot allocate " + std::to_string(3 * sizeof(char *)) + " bytes of memory\n"},
        {"third value buffer", 5, "Cannot allocate 3 bytes of memory\n"},
        {"item record", 6,
         "Cannot allocate " + std::to_string(sizeof(replay_item)) + " bytes of memory\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        qr_fail_allocation_after(row.failing_allocation);
        read_outcome back = read_bytes(file);
        qr_fail_allocation_after(0);
        EXPECT_FALSE(back.clean_end);
        EXPECT_EQ(back.err, row.err);
    }
}

TEST(ReplayFileWriter, WriteErrorsFailTheRecordOrTheFinish) {
    // Small output stays in the buffer until the completion, which must
    // report the failure, before any statistics, so that the run fails.
    stream_capture complete_err(stderr);
    ASSERT_EQ(file_consumer_init("/dev/full", nullptr, -1, nullptr, 1.0), 1);
    EXPECT_EQ(file_consumer(replay_create_execute(&t_example, 1, "SELECT 1")), 1);
    EXPECT_EQ(file_consumer_complete(), 0);
    EXPECT_EQ(complete_err.stop(), "Error writing to output file: No space left on device\n");
    stream_capture finish_err(stderr);
    file_consumer_finish(0);
    EXPECT_EQ(finish_err.stop(), "");
    EXPECT_TRUE(file_consumer_write_failed());

    // A full buffer is written during the run; its failure fails the record
    // and nothing more is written or reported at the finish.
    std::string statement(100 * 1024, 's');
    stream_capture record_err(stderr);
    ASSERT_EQ(file_consumer_init("/dev/full", nullptr, -1, nullptr, 1.0), 1);
    EXPECT_FALSE(file_consumer_write_failed());
    EXPECT_EQ(file_consumer(replay_create_execute(&t_example, 1, statement.c_str())), -1);
    file_consumer_finish(0);
    EXPECT_EQ(record_err.stop(), "Error writing to output file: No space left on device\n");
    EXPECT_TRUE(file_consumer_write_failed());

    // A file size limit makes the kernel accept only part of a write.
    temp_dir dir;
    struct rlimit saved_limit;
    getrlimit(RLIMIT_FSIZE, &saved_limit);
    struct rlimit small_limit = saved_limit;
    small_limit.rlim_cur = 1000;
    auto saved_handler = signal(SIGXFSZ, SIG_IGN);
    stream_capture short_err(stderr);
    ASSERT_EQ(file_consumer_init(dir.file("limited").c_str(), nullptr, -1, nullptr, 1.0), 1);
    setrlimit(RLIMIT_FSIZE, &small_limit);
    int result = file_consumer(replay_create_execute(&t_example, 1, statement.c_str()));
    setrlimit(RLIMIT_FSIZE, &saved_limit);
    signal(SIGXFSZ, saved_handler);
    file_consumer_finish(0);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(short_err.stop(), "Error: not all bytes written to output file\n");
    EXPECT_TRUE(file_consumer_write_failed());
}

}  // namespace
