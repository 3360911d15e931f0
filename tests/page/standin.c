/* A stand-in for the page view program: it speaks the agent's frame protocol
 * on descriptor 3 and misbehaves as the page's address asks ("do=NAME" in the
 * address of the Open frame), as a page view that a page has taken over
 * could. Tests put it beside a copy of the agent under the page view's name.
 *   good          shows the popup (Ready) and answers every ping
 *   tree          good, with a child and a grandchild that left the process
 *                 group, all waiting
 *   ready-flood   Ready frames without end, reading nothing
 *   hover-flood   Hover frames without end
 *   processes     good, with 40 processes waiting
 *   fill          good, writing /tmp and /dev/shm full, 1 MiB at a time
 *   cpu-children  good, with short-lived children, two at a time, each
 *                 burning the processor for 200 ms and reaped
 *   cpu-bursts    good, with two children burning 3 s of processor time
 *                 each, then resting 21 s, and again
 *   links         good, with a Link frame every 150 ms, clicked or not
 *   late-link     good, with one Link frame a second after Ready
 *   log-flood     good, with 300 Loaded and Link frames a second and debug
 *                 lines on standard error without end */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

enum
{
    Open = 1,
    Place = 2,
    Ping = 3,
    Ready = 16,
    Loaded = 17,
    Link = 18,
    Hover = 21,
    Pong = 22
};

static const int channel = 3;
static unsigned char in[1 << 17];
static size_t have;

static void put32(unsigned char* to, uint32_t v)
{
    to[0] = (unsigned char)(v >> 24);
    to[1] = (unsigned char)(v >> 16);
    to[2] = (unsigned char)(v >> 8);
    to[3] = (unsigned char)v;
}

static uint32_t get32(const unsigned char* from)
{
    return (uint32_t)from[0] << 24 | (uint32_t)from[1] << 16 | (uint32_t)from[2] << 8 | from[3];
}

static void writeAll(const unsigned char* bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(channel, bytes, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR) {
                continue;
            }
            _exit(0); /* the agent is gone */
        }
        bytes += n;
        size -= (size_t)n;
    }
}

/* A frame of one type with one number, or one text, or nothing. */
static void sendFrame(int type, const int32_t* number, const char* text)
{
    unsigned char frame[512];
    size_t size = 5;
    if (number) {
        put32(frame + size, (uint32_t)*number);
        size += 4;
    }
    if (text) {
        const size_t length = strlen(text);
        put32(frame + size, (uint32_t)length);
        memcpy(frame + size + 4, text, length);
        size += 4 + length;
    }
    put32(frame, (uint32_t)(size - 4));
    frame[4] = (unsigned char)type;
    writeAll(frame, size);
}

static double now(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

/* Reads what came within ms; answers pings. Returns the Open frame's address
 * (once, in url) when one came. */
static int serve(int ms, char* url, size_t urlSize)
{
    struct pollfd p = {channel, POLLIN, 0};
    int opened = 0;
    if (poll(&p, 1, ms) <= 0) {
        return 0;
    }
    const ssize_t n = read(channel, in + have, sizeof in - have);
    if (n <= 0) {
        _exit(0);
    }
    have += (size_t)n;
    size_t at = 0;
    while (have - at >= 5 && have - at >= 4 + get32(in + at)) {
        const uint32_t length = get32(in + at);
        const int type = in[at + 4];
        if (type == Ping && length == 5) {
            const int32_t number = (int32_t)get32(in + at + 5);
            sendFrame(Pong, &number, NULL);
        } else if (type == Open && url && length >= 5) {
            const uint32_t textLength = get32(in + at + 5);
            const size_t kept = textLength < urlSize - 1 ? textLength : urlSize - 1;
            memcpy(url, in + at + 9, kept);
            url[kept] = 0;
            opened = 1;
        }
        at += 4 + length;
    }
    memmove(in, in + at, have - at);
    have -= at;
    return opened;
}

static void serveFor(double seconds)
{
    const double until = now() + seconds;
    while (now() < until) {
        serve(50, NULL, 0);
    }
}

static void burn(double seconds)
{
    const double until = now() + seconds;
    volatile unsigned x = 0;
    while (now() < until) {
        for (int i = 0; i < 100000; ++i) {
            x += (unsigned)i;
        }
    }
}

static void waitForever(void)
{
    for (;;) {
        pause();
    }
}

static void fill(const char* dir, int* mib)
{
    static char block[1 << 20];
    memset(block, 'x', sizeof block);
    char path[256];
    for (*mib = 0; *mib < 4096; ++*mib) {
        snprintf(path, sizeof path, "%s/fill-%d", dir, *mib);
        const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (fd < 0) {
            return;
        }
        const ssize_t n = write(fd, block, sizeof block);
        close(fd);
        if (n != (ssize_t)sizeof block) {
            return;
        }
        serve(0, NULL, 0);
    }
}

int main(void)
{
    signal(SIGPIPE, SIG_IGN);
    char url[4096] = "";
    while (!serve(1000, url, sizeof url)) {
    }
    const char* what = strstr(url, "do=");
    what = what ? what + 3 : "good";
    const int32_t one = 1;
    sendFrame(Ready, NULL, NULL);

    if (strcmp(what, "ready-flood") == 0 || strcmp(what, "hover-flood") == 0) {
        const int hover = what[0] == 'h';
        for (;;) {
            sendFrame(hover ? Hover : Ready, hover ? &one : NULL, NULL);
        }
    }
    if (strcmp(what, "tree") == 0) {
        if (fork() == 0) {
            if (fork() == 0) {
                setsid(); /* out of the page view's process group */
                waitForever();
            }
            waitForever();
        }
    } else if (strcmp(what, "processes") == 0) {
        for (int i = 0; i < 40; ++i) {
            if (fork() == 0) {
                waitForever();
            }
        }
    } else if (strcmp(what, "fill") == 0) {
        int tmp = 0, shm = 0;
        fill("/tmp", &tmp);
        fill("/dev/shm", &shm);
        fprintf(stderr, "filled: %d MiB in /tmp, %d MiB in /dev/shm\n", tmp, shm);
    } else if (strcmp(what, "cpu-children") == 0) {
        for (;;) {
            pid_t children[2];
            for (int i = 0; i < 2; ++i) {
                children[i] = fork();
                if (children[i] == 0) {
                    burn(0.2);
                    _exit(0);
                }
            }
            for (int i = 0; i < 2; ++i) {
                while (waitpid(children[i], NULL, WNOHANG) == 0) {
                    serve(10, NULL, 0);
                }
            }
        }
    } else if (strcmp(what, "cpu-bursts") == 0) {
        for (;;) {
            pid_t children[2];
            for (int i = 0; i < 2; ++i) {
                children[i] = fork();
                if (children[i] == 0) {
                    struct timespec t;
                    do {
                        burn(0.05);
                        clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
                    } while (t.tv_sec < 3);
                    _exit(0);
                }
            }
            for (int i = 0; i < 2; ++i) {
                while (waitpid(children[i], NULL, WNOHANG) == 0) {
                    serve(10, NULL, 0);
                }
            }
            serveFor(21);
        }
    } else if (strcmp(what, "links") == 0) {
        for (int i = 0;; ++i) {
            char link[64];
            snprintf(link, sizeof link, "https://example.invalid/%d", i);
            sendFrame(Link, NULL, link);
            serveFor(0.15);
        }
    } else if (strcmp(what, "late-link") == 0) {
        serveFor(1.0);
        sendFrame(Link, NULL, "https://example.invalid/late");
    } else if (strcmp(what, "log-flood") == 0) {
        fcntl(2, F_SETFL, fcntl(2, F_GETFL) | O_NONBLOCK);
        for (int i = 0;; ++i) {
            sendFrame(i % 2 ? Loaded : Link, i % 2 ? &one : NULL,
                      i % 2 ? NULL : "https://example.invalid/flood");
            fprintf(stderr, "a debug line of the page view, number %d\n", i);
            serveFor(1.0 / 300);
        }
    }
    for (;;) {
        serve(1000, NULL, 0);
    }
}
