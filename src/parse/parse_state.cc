#include "parse_state.h"

#include <new>

namespace {

parse_state the_state;

}  // namespace

parse_state &parse_unit_state() { return the_state; }

void reset_parse_state() {
    the_state.reader.pool.clear();
    release_errlog_parser(the_state.errlog);
    release_connections(the_state.connection_hash);
    release_process_sessions(the_state.prefix_sessions);
    release_window(the_state.provider.window);
    // The state holds a read block and non-copyable members: rebuild it in
    // place rather than assigning a temporary of that size.
    the_state.~parse_state();
    new (&the_state) parse_state();
}
