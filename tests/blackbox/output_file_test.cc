// The replay file of -f -o through the binary: a file is replaced only by a
// complete replay file, never by a failed or interrupted run, never when it
// is the input; devices and FIFOs are written directly.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "support/run_binary.h"

namespace {

const std::string fixture = std::string(QUILLRUN_SOURCE_DIR) + "/tests/fixtures/small.log";
const std::string old_contents = "the replay file of an earlier run\n";

mode_t file_type(const std::string &path) {
    struct stat status;
    return lstat(path.c_str(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

mode_t permissions(const std::string &path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 ? status.st_mode & 0777 : 0;
}

// Every row runs in a fresh directory holding in.log (the fixture, or a
// log that fails to parse) and, when old_file is set, out.qr with older
// contents.  Afterwards the directory must hold exactly the listed files:
// no temporary file may be left.
TEST(OutputFile, ReplacedOnlyByACompleteReplayFile) {
    const std::string good_log = read_file(fixture);
    const std::string bad_log = good_log + "this line has no prefix\n";
    const std::string complete = run_quillrun({"-f", fixture}).out;
    ASSERT_GT(complete.size(), 100u);

    struct row {
        const char *what;
        std::vector<std::string> args;
        std::string log;
        bool old_file;
        int status;
        std::string err_part;     // appears on standard error
        std::string out_qr;       // contents of out.qr afterwards; "" when absent
        std::vector<std::string> files;
        std::function<void(const temp_dir &, run_request &)> prepare = nullptr;
    } rows[] = {
        {"a new file", {"-f", "-o", "out.qr", "in.log"}, good_log, false, 0, "", complete,
         {"in.log", "out.qr"}},
        {"an old file is replaced", {"-f", "-o", "out.qr", "in.log"}, good_log, true, 0, "",
         complete, {"in.log", "out.qr"}},
        {"a failed parse keeps the old file", {"-f", "-o", "out.qr", "in.log"}, bad_log, true, 1,
         "Error parsing line 7", old_contents, {"in.log", "out.qr"}},
        {"a failed parse creates nothing", {"-f", "-o", "out.qr", "in.log"}, bad_log, false, 1,
         "Error parsing line 7", "", {"in.log"}},
        {"the output is the input", {"-f", "-o", "in.log", "in.log"}, good_log, false, 1,
         "Error: output file \"in.log\" is the input file\n", "", {"in.log"}},
        {"the output is a hard link to the input", {"-f", "-o", "link.log", "in.log"}, good_log,
         false, 1, "Error: output file \"link.log\" is the input file\n", "",
         {"in.log", "link.log"},
         [](const temp_dir &dir, run_request &) {
             ASSERT_EQ(link(dir.file("in.log").c_str(), dir.file("link.log").c_str()), 0);
         }},
        {"the output is the file on standard input", {"-f", "-o", "in.log"}, good_log, false, 1,
         "Error: output file \"in.log\" is the input file\n", "", {"in.log"},
         [](const temp_dir &dir, run_request &request) { request.input_file = dir.file("in.log"); }},
        {"standard output is the input", {"-f", "in.log"}, good_log, false, 1,
         "Error: standard output is the input file\n", "", {"in.log"},
         [](const temp_dir &dir, run_request &request) {
             request.output_file = dir.file("in.log");
         }},
        {"a symbolic link keeps pointing to the replaced file", {"-f", "-o", "link.qr", "in.log"},
         good_log, true, 0, "", complete, {"in.log", "link.qr", "out.qr"},
         [](const temp_dir &dir, run_request &) {
             ASSERT_EQ(symlink("out.qr", dir.file("link.qr").c_str()), 0);
         }},
        {"an interrupted run keeps the old file", {"-f", "-d", "1", "-o", "out.qr"}, "", true,
         128 + SIGINT, "Interrupted by SIGINT before the replay file was complete\n",
         old_contents, {"out.qr"},
         [](const temp_dir &, run_request &request) {
             feed_slowly(request, session_log(2000), 400, 0.02);
             request.actions = {{"Item:", 0, SIGINT}};
         }},
        // The second signal comes while the first is being handled: it ends
        // the program at once, by the signal.
        {"a second signal removes the temporary file", {"-f", "-d", "1", "-o", "out.qr"}, "",
         true, 128 + SIGTERM, "", old_contents, {"out.qr"},
         [](const temp_dir &, run_request &request) {
             feed_slowly(request, session_log(2000), session_log(4).size(), 60);
             request.actions = {{"= SELECT 1001\n", 0.5, 0, false,
                                 [](int pid) { send_two_signals(pid, SIGINT, SIGTERM); }}};
         }},
    };
    mode_t saved_mask = umask(0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.what);
        temp_dir dir;
        if (!row.log.empty()) write_file(dir.file("in.log"), row.log);
        if (row.old_file) write_file(dir.file("out.qr"), old_contents);
        run_request request;
        request.args = row.args;
        request.working_directory = dir.path();
        request.timeout_seconds = 30;
        if (row.prepare) row.prepare(dir, request);
        run_result result = run_quillrun(request);

        EXPECT_EQ(result.status, row.status) << result.err.substr(0, 500);
        EXPECT_NE(result.err.find(row.err_part), std::string::npos) << result.err.substr(0, 500);
        if (row.status != 0) {
            EXPECT_EQ(result.out, "");  // no statistics
        }
        EXPECT_EQ(list_directory(dir.path()), row.files);
        if (!row.log.empty()) {
            EXPECT_EQ(read_file(dir.file("in.log")), row.log);
        }
        if (row.out_qr.empty()) continue;
        EXPECT_EQ(read_file(dir.file("out.qr")), row.out_qr);
        EXPECT_EQ(permissions(dir.file("out.qr")), row.out_qr == complete ? 0600u : 0666u);
    }
    umask(saved_mask);
}

// Names in /dev that a rename over one of these devices would leave.
std::vector<std::string> beside_devices() {
    std::vector<std::string> found;
    for (const std::string &name : list_directory("/dev"))
        if (name.starts_with("null.") || name.starts_with("full.") || name.starts_with("stdout."))
            found.push_back(name);
    return found;
}

// Anything that is not a regular file is opened and written as it is: a
// device is never replaced by a rename, and nothing is created beside it.
TEST(OutputFile, DevicesAndFifosAreWrittenDirectly) {
    const run_result reference = run_quillrun({"-f", fixture});
    const std::string &complete = reference.out;
    const std::string report = reference.err.substr(reference.err.find("\nParse statistics"));
    ASSERT_TRUE(report.starts_with("\nParse statistics\n")) << reference.err;

    temp_dir dir;
    const std::string fifo = dir.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string from_fifo;
    std::thread fifo_reader([&] {
        std::ifstream in(fifo, std::ios::binary);
        from_fifo.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    });

    struct row {
        std::string name;
        mode_t type;
        int status;
        std::string out;
        std::string err_part;
    } rows[] = {
        {"/dev/null", S_IFCHR, 0, report, ""},
        // The error comes before the statistics, which then never appear.
        {"/dev/full", S_IFCHR, 1, "", "Error writing to output file: No space left on device\n"},
        // Standard output by another name: the statistics stay out of it.
        {"/dev/stdout", S_IFLNK, 0, complete, report},
        {fifo, S_IFIFO, 0, report, ""},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        run_result result = run_quillrun({"-f", "-o", row.name, fixture});
        EXPECT_EQ(result.status, row.status) << result.err;
        EXPECT_EQ(result.out, row.out);
        EXPECT_NE(result.err.find(row.err_part), std::string::npos) << result.err;
        EXPECT_EQ(file_type(row.name), row.type);
    }
    // Lets the reader go if the program never opened the FIFO.
    int release = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (release >= 0) close(release);
    fifo_reader.join();
    EXPECT_EQ(from_fifo, complete);
    EXPECT_EQ(list_directory(dir.path()), std::vector<std::string>{"fifo"});
    EXPECT_EQ(beside_devices(), std::vector<std::string>{});
}

}  // namespace
