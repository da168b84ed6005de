// Placeholder until the log parser lands; replaced by the real provider.
#include <unistd.h>

#include <cstdio>

#include "parse_setup.h"
#include "quillrun/messages.h"
#include "quillrun/parse.h"

replay_item *parse_provider() {
    print_error("Error: log parsing is not available in this build\n");
    return nullptr;
}

void parse_provider_finish() {
    if (parse_settings.input_fd != 0 && close(parse_settings.input_fd) != 0)
        perror("Error closing input file:");
}
