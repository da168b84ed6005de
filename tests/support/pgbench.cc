#include "support/pgbench.h"

#include <stdexcept>

const char pgbench_end_state_query[] =
    "SELECT sum(abalance), count(*), (SELECT count(*) FROM pgbench_history), "
    "(SELECT sum(bbalance) FROM pgbench_branches), (SELECT sum(tbalance) FROM pgbench_tellers) "
    "FROM pgbench_accounts";

void initialise_pgbench(const pg_server &server) {
    std::string output;
    if (server.shell("PGOPTIONS='-c log_statement=none -c log_min_duration_statement=-1' pgbench -i -q -s 1", &output) != 0)
        throw std::runtime_error("pgbench -i failed: " + output);
}
