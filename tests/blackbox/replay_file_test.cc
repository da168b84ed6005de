// The replay file through the real binary: what a user sees when the file
// cannot be opened.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/run_binary.h"

namespace {

// The finish still closes the descriptor of the failed open and reports
// that too; nothing reaches standard output.
TEST(ReplayFileBinary, UnopenableFilesFailWithTheSystemError) {
    temp_dir dir;
    struct row {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        {{"-r", dir.file("missing")},
         "Error opening input file:: No such file or directory\n"
         "Error closing input file:: Bad file descriptor\n"},
        {{"-r", "-"},  // a file of that name, not standard input
         "Error opening input file:: No such file or directory\n"
         "Error closing input file:: Bad file descriptor\n"},
        {{"-f", "-o", dir.file("no/such/dir")},
         "Error opening output file:: No such file or directory\n"
         "Error closing output file:: Bad file descriptor\n"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        run_request request;
        request.args = row.args;
        request.working_directory = dir.path();
        run_result result = run_quillrun(request);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, row.err);
    }
}

}  // namespace
