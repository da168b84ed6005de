// The command line, through the real binary: output, streams and exit status.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "main/command_line.h"
#include "quillrun/settings.h"
#include "support/capture.h"
#include "support/run_binary.h"

namespace {

std::string usage_text() {
    temp_dir dir;
    FILE *file = fopen(dir.file("usage").c_str(), "w");
    usage(file);
    fclose(file);
    return read_file(dir.file("usage"));
}

TEST(CommandLine, UsageTextIsExact) {
    std::string text = usage_text();
    EXPECT_TRUE(text.starts_with("\nquillrun 1.5.0\n==============\n\nUsage: quillrun [<parse"))
        << text;
    EXPECT_NE(text.find("   -q             ( \\' in string literal is a single quote)\n\n"
                        "   -D <database>"),
              std::string::npos);
    EXPECT_NE(text.find("contents to a \"replay file\" that can be replayed with -r.\n"),
              std::string::npos);
    EXPECT_NE(text.find("   -X <options>   (extra libpq connect options)\n\n"
                        "   -R <file>      (write a per-statement report as JSON)\n"
                        "   -n             (dry-run"),
              std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("\n\nDebugging:\n"
                               "   -d <level>     (level between 1 and 3)\n"
                               "   -v             (prints version and exits)\n"))
        << text;
    EXPECT_NE(text.find("   -U <username>  (username to use as filter for parsing logfile)\n"
                        "   -P <prefix>    (log_line_prefix of a stderr logfile)\n"
                        "Replay options:\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 38);
}

// Rejected command lines: the message, then the usage text, on standard error.
TEST(CommandLine, ErrorsPrintTheMessageAndUsageAndExitOne) {
    struct row {
        std::vector<std::string> args;
        std::string message;
    } rows[] = {
        {{"-x"}, "Error: unknown option -x\n"},
        {{"-p"}, "Error: unknown option -p\n"},
        {{"-p", "0"}, "Port number must be between 1 and 65535\n"},
        {{"-p", "70000"}, "Port number must be between 1 and 65535\n"},
        {{"-p", "08"}, "Not a valid port number: \"08\"\n"},
        {{"-p", ""}, "Not a valid port number: \"\"\n"},
        {{"-p", "12a"}, "Not a valid port number: \"12a\"\n"},
        {{"-p", "0", "-v"}, "Port number must be between 1 and 65535\n"},
        {{"-d", "4"}, "Debug level must be between 0 and 3\n"},
        {{"-d", "one"}, "Not a valid debug level: \"one\"\n"},
        {{"-s", "0"}, "Factor must be greater than 0\n"},
        {{"-s", "-1"}, "Factor must be greater than 0\n"},
        {{"-s", "2x"}, "Not a valid floating point number: \"2x\"\n"},
        {{"-s", ""}, "Not a valid floating point number: \"\"\n"},
        {{"-s", "1e999"}, "Error converting speed factor: Numerical result out of range\n"},
        {{"-s", "nan"}, "Factor must be a finite number\n"},
        {{"-s", "inf"}, "Factor must be a finite number\n"},
        {{"-b", "2010-12-31T10:59:52.243"},
         "Error in begin timestamp: character 11 in timestamp string is 'T', expected ' '\n"},
        {{"-e", "2010-12-31"},
         "Error in end timestamp: timestamp string is less than 23 characters long\n"},
        {{"-f", "-r"}, "Error: options -f and -r are mutually exclusive\n"},
        {{"-r", "-f"}, "Error: options -f and -r are mutually exclusive\n"},
        {{"-f", "-n"}, "Error: cannot specify replay option with -f\n"},
        {{"-f", "-h", ""}, "Error: cannot specify replay option with -f\n"},
        {{"-f", "-W", ""}, "Error: cannot specify replay option with -f\n"},
        {{"-f", "-E", ""}, "Error: cannot specify replay option with -f\n"},
        {{"-f", "-R", "report.json"}, "Error: cannot specify replay option with -f\n"},
        {{"-f", "-R", ""}, "Error: cannot specify replay option with -f\n"},
        {{"-R"}, "Error: unknown option -R\n"},
        {{"-r", "-c"}, "Error: cannot specify parse option with -r\n"},
        {{"-r", "-D", "db"}, "Error: cannot specify parse option with -r\n"},
        {{"-r", "-P", "%m [%p] "}, "Error: cannot specify parse option with -r\n"},
        {{"-P", "%m [%p] ", "-c"}, "Error: option -P cannot be used with -c\n"},
        {{"-P", "[%p] %u "}, "Error in log_line_prefix \"[%p] %u \": no time stamp"
                             " (%m, %t or %n)\n"},
        {{"-P", "[%p] %q%m "}, "Error in log_line_prefix \"[%p] %q%m \": no time stamp"
                               " (%m, %t or %n) before %q\n"},
        {{"-P", "%m %u@%d "}, "Error in log_line_prefix \"%m %u@%d \": no session id or"
                              " process id (%c or %p)\n"},
        {{"-P", "%m [%p] %y "}, "Error in log_line_prefix \"%m [%p] %y \": unknown escape"
                                " \"%y\"\n"},
        {{"-P", "%m [%p] %-1"}, "Error in log_line_prefix \"%m [%p] %-1\": incomplete escape"
                                " at the end\n"},
        {{"-P", "%m [%p] %u"}, "Error in log_line_prefix \"%m [%p] %u\": %u must be followed"
                               " by literal text\n"},
        {{"-P", "%m [%p] %a%u "}, "Error in log_line_prefix \"%m [%p] %a%u \": %a must be"
                                  " followed by literal text\n"},
        {{"-o", "out.bin"}, "Error: option -o is only allowed with -f\n"},
        {{"a.log", "b.log"}, "More than one argument given\n"},
        {{"a.log", "-n"}, "More than one argument given\n"},
        {{"-", "-n"}, "More than one argument given\n"},
        // The combination checks run in their order: -f with a replay option first.
        {{"-f", "-j", "-o", "x", "-c"}, "Error: cannot specify replay option with -f\n"},
    };
    std::string usage = usage_text();
    for (const auto &row : rows) {
        std::string joined;
        for (const auto &arg : row.args) joined += " [" + arg + "]";
        SCOPED_TRACE(joined);
        run_result result = run_quillrun(row.args);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err, row.message + usage);
    }
}

TEST(CommandLine, VersionAndHelpExitZero) {
    struct row {
        std::vector<std::string> args;
        bool shows_usage;
    } rows[] = {
        {{"-v"}, false}, {{"-v", "-p", "0"}, false}, {{"-h"}, true}, {{"-?"}, true},
        {{"-c", "-h"}, true},
    };
    std::string usage = usage_text();
    for (const auto &row : rows) {
        run_result result = run_quillrun(row.args);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, row.shows_usage ? usage : "quillrun 1.5.0\n");
        EXPECT_EQ(result.err, "");
    }
}

// Accepted command lines reach the provider, which fails to open the
// missing input: no usage text, exit status 1.
TEST(CommandLine, AcceptedCombinationsReachTheProvider) {
    std::vector<std::vector<std::string>> rows = {
        {"-h", "db1", "-n"},
        {"-p", "0x1F90", "-p", "010", "-n"},
        {"-d", "0", "-n"},
        {"-o", "", "-n"},
        {"-r", "-q"},
        {"-f", "-o", "-", "-c", "-q", "-D", "a", "-U", "u"},
        {"-b", "2010-12-31 10:59:52.243 CET", "-e", "2010-12-31 11:00:00.000", "-n"},
        {"-s", "0.5", "-j", "-X", "", "-E", "", "-W", "", "-cqn"},
        {"-r", "-R", "report.json", "-n"},
        {"-n", "--"},
    };
    for (auto args : rows) {
        args.push_back("/nonexistent/quillrun-input");
        std::string joined;
        for (const auto &arg : args) joined += " [" + arg + "]";
        SCOPED_TRACE(joined);
        run_result result = run_quillrun(args);
        EXPECT_EQ(result.status, 1);
        EXPECT_NE(result.err.find("Error opening input file"), std::string::npos) << result.err;
        EXPECT_EQ(result.err.find("Usage:"), std::string::npos);
        EXPECT_EQ(result.out, "");
    }
}

TEST(CommandLine, SingleHyphenIsAFileName) {
    temp_dir dir;
    run_request request;
    request.args = {"-n", "-"};
    request.working_directory = dir.path();
    run_result result = run_quillrun(request);
    EXPECT_EQ(result.status, 1);
    EXPECT_NE(result.err.find("Error opening input file: No such file or directory"),
              std::string::npos)
        << result.err;
}

// A running quillrun, blocked reading standard input once it has set up the
// replay: its argument vector no longer holds the -W password, and the
// connect string it shows has *** for that and for a password inside -X.
TEST(CommandLine, PasswordsLeaveTheArgumentVectorAndDebugOutput) {
    run_request request;
    request.args = {"-n", "-Ws3cret", "-X", "password=0ther connect_timeout=3", "-d", "2"};
    request.hold_input_open = true;
    std::string command_line;
    request.actions = {
        {"Database connect string", 0, 0, false,
         [&command_line](int pid) {
             command_line = read_file("/proc/" + std::to_string(pid) + "/cmdline");
         }},
        {"", 0, 0, true},
    };
    run_result result = run_quillrun(request);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(command_line, std::string(QUILLRUN_BINARY) + '\0' + "-n" + '\0' + "-W******" +
                                '\0' + "-X" + '\0' + "password=0ther connect_timeout=3" + '\0' +
                                "-d" + '\0' + "2" + '\0');
    EXPECT_NE(result.err.find("Database connect string: \" password='***' password='***' "
                              "connect_timeout='3'\"\n"),
              std::string::npos)
        << result.err;
    EXPECT_EQ(result.err.find("s3cret"), std::string::npos);
    EXPECT_EQ(result.err.find("0ther"), std::string::npos);
}

// Internal values that the binary does not show directly.
TEST(CommandLine, CollectsValuesFiltersAndEncoding) {
    std::vector<std::string> words = {"quillrun", "-D", "a", "-D", "b", "-U", "u", "-D", "",
                                      "-b", "2010-12-31 10:59:52.243 CET", "-c", "-q", "in.log"};
    std::vector<char *> argv;
    for (auto &word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    run_options options;
    EXPECT_EQ(read_command_line(static_cast<int>(words.size()), argv.data(), &options),
              command_line_run);
    EXPECT_STREQ(options.database_filter, "\\a\\b\\\\");
    EXPECT_STREQ(options.username_filter, "\\u\\");
    EXPECT_STREQ(options.begin_timestamp, "2010-12-31 10:59:52.243");
    EXPECT_EQ(options.end_timestamp, nullptr);
    EXPECT_STREQ(options.infile, "in.log");
    EXPECT_EQ(options.csv, 1);
    EXPECT_EQ(backslash_quote, 1);
    backslash_quote = 0;

    std::vector<std::string> replay_words = {"quillrun", "-r", "-E", "LATIN1", "-p", "0x1F90",
                                             "-s", "2.5", "-h", "", "-W", "pw", "-j"};
    argv.clear();
    for (auto &word : replay_words) argv.push_back(word.data());
    argv.push_back(nullptr);
    run_options replay;
    unsetenv("PGCLIENTENCODING");
    EXPECT_EQ(read_command_line(static_cast<int>(replay_words.size()), argv.data(), &replay),
              command_line_run);
    EXPECT_STREQ(getenv("PGCLIENTENCODING"), "LATIN1");
    EXPECT_EQ(replay.port, 8080);
    EXPECT_EQ(replay.factor, 2.5);
    EXPECT_EQ(replay.host, nullptr);
    EXPECT_STREQ(replay.password, "pw");
    EXPECT_EQ(replay_words[11], "**");  // no longer in the argument vector
    EXPECT_EQ(replay.infile, nullptr);
    EXPECT_EQ(skip_idle, 1);
    skip_idle = 0;
    unsetenv("PGCLIENTENCODING");
}

}  // namespace
