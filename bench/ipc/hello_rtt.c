/* The "Hello" round trip through libzavmsg, on one connection to the running
 * agent, as a host sees it: N round trips (default 2000, after 100 to warm
 * up), and their minimum, median, 99th percentile and maximum in
 * microseconds. Built for Linux and for Windows (run under wine there), so
 * that the two agents compare on the same code.
 *
 *   zav-hello-rtt [N]     (the agent of this user; ZAV_PIPE=PATH for another) */
#include "zavmsg/zavmsg.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#ifdef _WIN32
#include <windows.h>
static double now_us(void)
{
    LARGE_INTEGER t, f;
    QueryPerformanceCounter(&t);
    QueryPerformanceFrequency(&f);
    return (double)t.QuadPart * 1e6 / (double)f.QuadPart;
}
#else
#include <time.h>
static double now_us(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}
#endif

static int by_value(const void* a, const void* b)
{
    const double x = *(const double*)a, y = *(const double*)b;
    return x < y ? -1 : x > y;
}

int main(int argc, char* argv[])
{
    const int n = argc > 1 ? atoi(argv[1]) : 2000;
    if (n <= 0) {
        fprintf(stderr, "usage: zav-hello-rtt [N]\n");
        return 2;
    }
    zavmsg* agent = NULL;
    if (zavmsg_connect(&agent, getenv("ZAV_PIPE"), 5000) != ZAVMSG_OK) {
        fprintf(stderr, "zav-hello-rtt: %s\n", agent ? zavmsg_error(agent) : "out of memory");
        zavmsg_close(agent);
        return 1;
    }
    double* took = malloc(sizeof *took * (size_t)n);
    for (int i = -100; i < n && took != NULL; ++i) {
        const double start = now_us();
        if (zavmsg_hello(agent) != ZAVMSG_OK) {
            fprintf(stderr, "zav-hello-rtt: %s\n", zavmsg_error(agent));
            free(took);
            zavmsg_close(agent);
            return 1;
        }
        if (i >= 0) {
            took[i] = now_us() - start;
        }
    }
    if (took == NULL) {
        return 1;
    }
    qsort(took, (size_t)n, sizeof *took, by_value);
    printf("Hello round trip, %d times: min %.0f us, median %.0f us, p99 %.0f us, max %.0f us\n",
           n, took[0], took[n / 2], took[n * 99 / 100], took[n - 1]);
    free(took);
    zavmsg_close(agent);
    return 0;
}
