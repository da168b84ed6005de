// Placeholder until the replay file lands.
#include "quillrun/messages.h"
#include "quillrun/replayfile.h"

int file_provider_init(const char *, int, const char *, const char *, const char *, const char *) {
    print_error("Error: replay files are not available in this build\n");
    return 0;
}
replay_item *file_provider() { return nullptr; }
void file_provider_finish() {}
int file_consumer_init(const char *, const char *, int, const char *, double) {
    print_error("Error: replay files are not available in this build\n");
    return 0;
}
int file_consumer(replay_item *item) {
    replay_free(item);
    return -1;
}
void file_consumer_finish(int) {}
