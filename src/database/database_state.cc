#include "database/database_state.h"

#include <cstdlib>

#include "database/scheduler.h"
#include "database/timer_slack.h"

namespace {

database_state the_state;

}  // namespace

database_state &replay_state() { return the_state; }

void reset_replay_state() {
    scheduler_release(the_state);
    session_connection *record = the_state.connection_list.head;
    while (record != nullptr) {
        session_connection *next = record->next;
        if (record->connection != nullptr) PQfinish(record->connection);
        free(record->fatal_message);
        free(record->conninfo);
        free(record);
        record = next;
    }
    session_list_release_index(the_state.connection_list);
    free(the_state.connect_string);
    free(the_state.poll_set);
    free(the_state.poll_records);
    the_state = database_state{};
    require_timely_wakeups();
}
