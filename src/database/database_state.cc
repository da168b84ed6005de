#include "database/database_state.h"

#include <cstdlib>

#include "database/timer_slack.h"

namespace {

database_state the_state;

}  // namespace

database_state &replay_state() { return the_state; }

void reset_replay_state() {
    session_connection *record = the_state.connection_list.head;
    while (record != nullptr) {
        session_connection *next = record->next;
        if (record->connection != nullptr) PQfinish(record->connection);
        while (pending_item *pending = record->pending_head) {
            record->pending_head = pending->next;
            replay_free(pending->item);
            free(pending);
        }
        free(record->fatal_message);
        free(record);
        record = next;
    }
    session_list_release_index(the_state.connection_list);
    free(the_state.connect_string);
    free(the_state.poll_set);
    the_state = database_state{};
    require_timely_wakeups();
}
