// Placeholder until the database replay lands.
#include "quillrun/database.h"
#include "quillrun/messages.h"

int database_consumer_init(const char *, const char *, int, const char *, double) {
    print_error("Error: database replay is not available in this build\n");
    return 0;
}
int database_consumer(replay_item *) { return -1; }
int database_consumer_dry_run(replay_item *) { return -1; }
void database_consumer_finish(int) {}
