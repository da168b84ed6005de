#include "output_file.h"

#include <fcntl.h>
#include <libgen.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "quillrun/alloc.h"
#include "quillrun/interrupt.h"
#include "quillrun/messages.h"

namespace {

// While a temporary file exists: its name, and the name it will replace.
struct output_file_state {
    char *temporary_name = nullptr;
    char *final_name = nullptr;
};

output_file_state state;

void forget_names() {
    interrupt_remove_on_exit(nullptr);
    free(state.temporary_name);
    free(state.final_name);
    state = output_file_state{};
}

bool same_file(const struct stat &a, const struct stat &b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Renaming over the file behind standard output or standard error would
// leave the program writing to a file that no longer has a name.
bool is_standard_stream(const struct stat &file) {
    struct stat stream;
    for (int fd = 1; fd <= 2; ++fd) {
        if (fstat(fd, &stream) == 0 && same_file(stream, file)) return true;
    }
    return false;
}

// A file its owner made read-only is refused by the open, as it always was,
// rather than replaced by a rename that only needs the directory.
bool writable(const char *name) { return access(name, W_OK) == 0; }

enum class target_kind { replace, direct, failed };

// Chooses how name is written; for replace, *final_name is the file to
// replace (name itself, or the file a symbolic link leads to), newly
// allocated.
target_kind choose_target(const char *name, char **final_name) {
    struct stat link_status;
    if (lstat(name, &link_status) != 0) {
        // Not there yet: created by the rename.  Other errors show again,
        // and are reported, when the temporary file is created.
        if (errno != ENOENT) return target_kind::direct;
        *final_name = qr_strdup(name);
    } else if (S_ISREG(link_status.st_mode)) {
        if (is_standard_stream(link_status) || !writable(name)) return target_kind::direct;
        *final_name = qr_strdup(name);
    } else if (S_ISLNK(link_status.st_mode)) {
        struct stat status;
        if (stat(name, &status) != 0 || !S_ISREG(status.st_mode) || is_standard_stream(status) ||
            !writable(name))
            return target_kind::direct;
        // The link stays; the file it names is replaced.
        *final_name = realpath(name, nullptr);
        if (*final_name == nullptr) return target_kind::direct;
    } else {
        return target_kind::direct;
    }
    if (*final_name == nullptr) {
        print_alloc_error(strlen(name) + 1);
        return target_kind::failed;
    }
    return target_kind::replace;
}

int create_temporary(char *final_name) {
    static const char suffix[] = ".XXXXXX";
    size_t size = strlen(final_name) + sizeof suffix;
    auto *temporary = static_cast<char *>(qr_malloc(size));
    if (temporary == nullptr) {
        print_alloc_error(size);
        free(final_name);
        return -1;
    }
    snprintf(temporary, size, "%s%s", final_name, suffix);
    // mkostemp creates the file with mode 0600 (less only under a umask that
    // takes the owner's own bits away): the file holds every statement and
    // bind value of the log.
    int fd = mkostemp(temporary, O_CLOEXEC);
    if (fd == -1) {
        perror("Error opening output file:");
        free(temporary);
        free(final_name);
        return -1;
    }
    state.temporary_name = temporary;
    state.final_name = final_name;
    interrupt_remove_on_exit(temporary);
    return fd;
}

// Makes the rename itself survive a crash; not every file system can sync
// a directory, and the file is in place either way, so failures are not
// reported.
void sync_directory_of(const char *path) {
    size_t size = strlen(path) + 1;
    auto *copy = static_cast<char *>(qr_malloc(size));
    if (copy == nullptr) return;
    memcpy(copy, path, size);
    int fd = open(dirname(copy), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    free(copy);
    if (fd == -1) return;
    fsync(fd);
    close(fd);
}

}  // namespace

int output_file_open(const char *name) {
    forget_names();
    char *final_name = nullptr;
    switch (choose_target(name, &final_name)) {
        case target_kind::failed: return -1;
        case target_kind::replace: return create_temporary(final_name);
        case target_kind::direct: break;
    }
    int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd == -1) perror("Error opening output file:");
    return fd;
}

bool output_file_replaces() { return state.temporary_name != nullptr; }

bool output_file_commit(int fd) {
    if (!output_file_replaces()) return true;
    if (fsync(fd) != 0) {
        print_system_error("Error writing to output file");
        close(fd);
        return false;
    }
    if (close(fd) != 0) {
        print_system_error("Error closing output file:");
        return false;
    }
    // An interrupted run keeps the old file; the discard removes the new one.
    if (interrupt_requested()) return false;
    if (rename(state.temporary_name, state.final_name) != 0) {
        print_error("Error renaming \"%s\" to \"%s\": %s\n", state.temporary_name,
                    state.final_name, strerror(errno));
        return false;
    }
    sync_directory_of(state.final_name);
    forget_names();
    return true;
}

void output_file_discard() {
    if (!output_file_replaces()) return;
    if (unlink(state.temporary_name) != 0 && errno != ENOENT)
        print_error("Error removing \"%s\": %s\n", state.temporary_name, strerror(errno));
    forget_names();
}
