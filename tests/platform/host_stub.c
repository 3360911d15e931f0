/* A stand-in host product for the checks under wine (scripts/windows-check.sh):
 * prints its process id, then runs for the seconds given (default 600) and
 * ends, as a product that the user closes. */
#include <stdio.h>
#include <stdlib.h>
#include <windows.h>

int main(int argc, char* argv[])
{
    const long seconds = argc > 1 ? strtol(argv[1], NULL, 10) : 600;
    printf("%lu\n", (unsigned long)GetCurrentProcessId());
    fflush(stdout);
    Sleep((DWORD)(seconds > 0 ? seconds : 0) * 1000u);
    return 0;
}
