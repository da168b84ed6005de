// A test fixture for log time stamps, which are read in local time: it
// runs each test in UTC, so that item times are easy to read
// (2000-01-01 00:00:05.250 is 5.250000), and restores the zone after.
#pragma once

#include <gtest/gtest.h>

#include <string>

class utc_test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    bool had_zone_ = false;
    std::string zone_;
};
