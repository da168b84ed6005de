// A recorded pgbench workload, replayed onto fresh servers initialised the
// same way, must leave them in exactly the recorded end state.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "support/pg_server.h"
#include "support/pgbench.h"
#include "support/run_binary.h"

namespace {

class EndToEnd : public testing::Test {
protected:
    static void SetUpTestSuite() {
        recorded_ = std::make_unique<pg_server>(true);
        initialise_pgbench(*recorded_);
        for (const char *mode : {"simple", "extended", "prepared"}) {
            std::string output;
            ASSERT_EQ(recorded_->shell(std::string("pgbench -n -c 3 -t 40 -M ") + mode, &output),
                      0)
                << output;
        }
        recorded_->flush_log();
        recorded_state_ = new std::string(recorded_->psql(pgbench_end_state_query));
    }
    static void TearDownTestSuite() {
        recorded_.reset();
        delete recorded_state_;
    }

    // Replays with the given arguments onto a fresh, initialised server and
    // returns that server's end state.
    static std::string replay_onto_fresh_server(std::vector<std::string> args) {
        pg_server target;
        initialise_pgbench(target);
        std::vector<std::string> full = {"-h", target.socket_dir(), "-p", "5432", "-j"};
        full.insert(full.end(), args.begin(), args.end());
        run_result result = run_quillrun(full);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_NE(result.out.find("\nParse statistics\n"), std::string::npos);
        EXPECT_NE(result.out.find("\nReplay statistics\n"), std::string::npos) << result.out;
        EXPECT_NE(result.out.find("\n(0 or 0.000% of these completed with error)\n"),
                  std::string::npos)
            << result.out;
        return target.psql(pgbench_end_state_query);
    }

    static std::unique_ptr<pg_server> recorded_;
    static std::string *recorded_state_;
};

std::unique_ptr<pg_server> EndToEnd::recorded_;
std::string *EndToEnd::recorded_state_;

TEST_F(EndToEnd, ReplayingTheStderrLogReproducesTheEndState) {
    EXPECT_EQ(replay_onto_fresh_server({recorded_->log_path()}), *recorded_state_);
}

TEST_F(EndToEnd, ReplayingTheCsvLogReproducesTheEndState) {
    EXPECT_EQ(replay_onto_fresh_server({"-c", recorded_->csv_log_path()}), *recorded_state_);
}

TEST_F(EndToEnd, ReplayingTheJsonLogReproducesTheEndState) {
    EXPECT_EQ(replay_onto_fresh_server({recorded_->json_log_path()}), *recorded_state_);
}

TEST_F(EndToEnd, ReplayingAReplayFileReproducesTheEndState) {
    temp_dir dir;
    run_result written = run_quillrun({"-f", "-o", dir.file("w.qr"), recorded_->log_path()});
    ASSERT_EQ(written.status, 0) << written.err;
    EXPECT_NE(written.out.find("\nParse statistics\n"), std::string::npos);

    pg_server target;
    initialise_pgbench(target);
    run_result replayed =
        run_quillrun({"-r", "-j", "-h", target.socket_dir(), "-p", "5432", dir.file("w.qr")});
    EXPECT_EQ(replayed.status, 0) << replayed.err;
    EXPECT_EQ(replayed.out.find("Parse statistics"), std::string::npos);
    EXPECT_NE(replayed.out.find("\nReplay statistics\n"), std::string::npos);
    EXPECT_EQ(target.psql(pgbench_end_state_query), *recorded_state_);
}

TEST_F(EndToEnd, DryRunReportIsTheSameFromTheLogAndFromItsReplayFile) {
    temp_dir dir;
    for (bool csv : {false, true}) {
        std::vector<std::string> parse_args;
        if (csv) parse_args.push_back("-c");
        parse_args.push_back(csv ? recorded_->csv_log_path() : recorded_->log_path());

        std::vector<std::string> dry = {"-n"};
        dry.insert(dry.end(), parse_args.begin(), parse_args.end());
        run_result direct = run_quillrun(dry);
        ASSERT_EQ(direct.status, 0) << direct.err;

        std::vector<std::string> write = {"-f", "-o", dir.file("d.qr")};
        write.insert(write.end(), parse_args.begin(), parse_args.end());
        ASSERT_EQ(run_quillrun(write).status, 0);
        run_result from_file = run_quillrun({"-r", "-n", dir.file("d.qr")});
        ASSERT_EQ(from_file.status, 0) << from_file.err;

        size_t report = direct.out.find("\nReplay statistics (dry run)\n");
        ASSERT_NE(report, std::string::npos) << direct.out;
        EXPECT_EQ(direct.out.substr(report), from_file.out);
        // 3 modes x 3 clients x 40 transactions of 7 statements, plus the
        // few queries pgbench itself makes at its start.
        size_t count_at = from_file.out.find("SQL statements executed: ");
        ASSERT_NE(count_at, std::string::npos);
        unsigned long executed = std::stoul(from_file.out.substr(count_at + 25));
        EXPECT_GE(executed, 3u * 3u * 40u * 7u);
        EXPECT_LT(executed, 3u * 3u * 40u * 7u + 20u);
    }
}

}  // namespace
