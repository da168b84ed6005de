#include "quillrun/settings.h"

int debug_level = 0;
int backslash_quote = 0;
int skip_idle = 0;
const char *extra_connstr = nullptr;
FILE *stats_stream = nullptr;
int finish_failed = 0;
