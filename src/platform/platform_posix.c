/* The platform interface on Linux: /proc and a private directory. */
#define _GNU_SOURCE /* struct ucred */ /* NOLINT(bugprone-reserved-identifier) */
#include "zavplatform.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

/* The number spelt by an all-digit name, or 0 when it is not one (empty,
 * other characters, more than 64 bits). */
static uint64_t decimal_name(const char* name)
{
    uint64_t value = 0;
    if (*name == '\0') {
        return 0;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') {
            return 0;
        }
        const uint64_t digit = (uint64_t)(*p - '0');
        if (value > (UINT64_MAX - digit) / 10) {
            return 0;
        }
        value = value * 10 + digit;
    }
    return value;
}

int zav_process_ids_in(const char* root, uint64_t** ids, size_t* count)
{
    *ids = NULL;
    *count = 0;
    DIR* dir = opendir(root);
    if (dir == NULL) {
        return -1;
    }
    size_t capacity = 0;
    const struct dirent* entry = NULL;
    while ((entry = readdir(dir)) != NULL) {
        const uint64_t id = decimal_name(entry->d_name);
        if (id == 0) {
            continue;
        }
        if (*count == capacity) {
            capacity = capacity ? capacity * 2 : 512;
            uint64_t* grown = realloc(*ids, capacity * sizeof **ids);
            if (grown == NULL) {
                break; /* out of memory: what was listed so far */
            }
            *ids = grown;
        }
        (*ids)[(*count)++] = id;
    }
    closedir(dir);
    return 0;
}

int zav_process_ids(uint64_t** ids, size_t* count)
{
    return zav_process_ids_in("/proc", ids, count);
}

struct zav_stamp zav_read_stamp(uint64_t id)
{
    return zav_read_stamp_in("/proc", id);
}

struct zav_stamp zav_read_stamp_in(const char* root, uint64_t id)
{
    struct zav_stamp stamp = {ZAV_PROCESS_UNKNOWN, 0};
    char path[4096];
    const int length = snprintf(path, sizeof path, "%s/%llu/stat", root, (unsigned long long)id);
    if (length < 0 || (size_t)length >= sizeof path) {
        return stamp;
    }
    const int fd = id == 0 ? -1 : open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        stamp.state = id == 0 || errno == ENOENT ? ZAV_PROCESS_GONE : ZAV_PROCESS_UNKNOWN;
        return stamp;
    }
    char line[4097];
    ssize_t n = 0;
    do {
        n = read(fd, line, sizeof line - 1);
    } while (n < 0 && errno == EINTR);
    close(fd);
    line[n > 0 ? n : 0] = '\0';
    /* "pid (command) state ppid ...": the command may hold blanks and
     * parentheses itself, so the fields are counted from the last ')'. */
    const char* p = strrchr(line, ')');
    if (p == NULL) {
        return stamp; /* unreadable: only the pid counts */
    }
    const char* fields[20]; /* fields 3 (the state) to 22 (the start time) */
    for (int found = 0; found < 20; ++found) {
        p += strcspn(p, " \n"); /* past the field before (the ')' ends field 2) */
        p += strspn(p, " \n");
        if (*p == '\0') {
            return stamp;
        }
        fields[found] = p;
    }
    const char state = fields[0][0];
    stamp.state = state == 'Z' || state == 'X' ? ZAV_PROCESS_ZOMBIE : ZAV_PROCESS_RUNNING;
    stamp.start_time = strtoull(fields[19], NULL, 10);
    return stamp;
}

static int refuse(char* why, size_t why_size, const char* dir, const char* format, ...)
{
    if (why != NULL && why_size > 0) {
        const int used = snprintf(why, why_size, "%s: ", dir);
        if (used >= 0 && (size_t)used < why_size) {
            va_list args;
            va_start(args, format);
            /* The analyzer loses va_start in the fortified vsnprintf. */
            /* NOLINTNEXTLINE(clang-analyzer-valist.Uninitialized) */
            vsnprintf(why + used, why_size - (size_t)used, format, args);
            va_end(args);
        }
    }
    return -1;
}

int zav_pipe_path(char* path, size_t size, char* why, size_t why_size)
{
    const char* runtime = getenv("XDG_RUNTIME_DIR");
    if (runtime != NULL && *runtime != '\0') {
        const int n = snprintf(path, size, "%s/" ZAV_PIPE_NAME, runtime);
        return n >= 0 && (size_t)n < size ? 0 : refuse(why, why_size, runtime, "path too long");
    }

    const char* temp = getenv("TMPDIR");
    size_t length = temp != NULL ? strlen(temp) : 0;
    if (length == 0) {
        temp = "/tmp";
        length = 4;
    }
    while (length > 1 && temp[length - 1] == '/') {
        --length; /* written without trailing slashes */
    }
    const uid_t uid = getuid();
    char dir[4096];
    const int n =
        snprintf(dir, sizeof dir, "%.*s/zav-msg-%lu", (int)length, temp, (unsigned long)uid);
    if (n < 0 || (size_t)n >= sizeof dir) {
        return refuse(why, why_size, temp, "path too long");
    }
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        return refuse(why, why_size, dir, "cannot create it: %s", strerror(errno));
    }
    struct stat st;
    if (lstat(dir, &st) != 0) {
        return refuse(why, why_size, dir, "cannot read its status: %s", strerror(errno));
    }
    if (!S_ISDIR(st.st_mode)) {
        return refuse(why, why_size, dir, "not a directory");
    }
    if (st.st_uid != uid) {
        return refuse(why, why_size, dir, "owned by uid %lu, not %lu", (unsigned long)st.st_uid,
                      (unsigned long)uid);
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        return refuse(why, why_size, dir, "writable by group or others (mode %04o)",
                      (unsigned)(st.st_mode & 07777));
    }
    const int m = snprintf(path, size, "%s/" ZAV_PIPE_NAME, dir);
    return m >= 0 && (size_t)m < size ? 0 : refuse(why, why_size, dir, "path too long");
}

int zav_pipe_server_is_user(intptr_t handle)
{
    struct ucred peer;
    socklen_t size = sizeof peer;
    return getsockopt((int)handle, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 &&
           size == sizeof peer && peer.uid == geteuid();
}
