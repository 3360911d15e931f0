/* The platform interface on Windows, run under wine by scripts/windows-check.sh:
 * the process list and stamps follow a child from its start to its end, and
 * the pipe's name is the user's own, claimed once, open to its user only. */
#include "zavplatform.h"

#include <aclapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int passed, failed;

static void check(int ok, const char* what)
{
    printf("%s - %s\n", ok ? "ok" : "FAILED", what);
    ok ? ++passed : ++failed;
}

/* 1 when the process list holds id, 0 when not, -1 when it failed. */
static int listed(uint64_t id)
{
    uint64_t* ids = NULL;
    size_t count = 0;
    if (zav_process_ids(&ids, &count) != 0) {
        return -1;
    }
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        found |= ids[i] == id;
    }
    free(ids);
    return found;
}

/* The wineserver drops an ended process a moment after its last handle:
 * asks up to 5 s. */
static int unlisted(uint64_t id)
{
    for (int i = 0; i < 500 && listed(id) != 0; ++i) {
        Sleep(10);
    }
    return listed(id) == 0;
}

static void processes(void)
{
    const DWORD self = GetCurrentProcessId();
    const struct zav_stamp mine = zav_read_stamp(self);
    check(listed(self) == 1, "the process list holds this process");
    check(mine.state == ZAV_PROCESS_RUNNING && mine.start_time != 0,
          "this process runs, with a start time");
    check(zav_read_stamp(0).state == ZAV_PROCESS_GONE, "id 0 is no process");

    char program[MAX_PATH], command[MAX_PATH + 16];
    GetModuleFileNameA(NULL, program, sizeof program);
    snprintf(command, sizeof command, "\"%s\" child", program);
    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child;
    if (!CreateProcessA(NULL, command, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &child)) {
        check(0, "a child starts");
        return;
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    const uint64_t later = ((uint64_t)now.dwHighDateTime << 32) | now.dwLowDateTime;
    const struct zav_stamp running = zav_read_stamp(child.dwProcessId);
    check(listed(child.dwProcessId) == 1, "the process list holds the child");
    check(running.state == ZAV_PROCESS_RUNNING && running.start_time >= mine.start_time &&
              running.start_time <= later,
          "the child runs, started after this process and before now");

    TerminateProcess(child.hProcess, 3);
    WaitForSingleObject(child.hProcess, 5000);
    check(zav_read_stamp(child.dwProcessId).state == ZAV_PROCESS_ZOMBIE,
          "the ended child, its handle still held, counts as ended");
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    check(unlisted(child.dwProcessId), "the ended child leaves the process list");
    /* Windows: gone; wine keeps showing the ended process for a while. */
    const enum zav_process_state after = zav_read_stamp(child.dwProcessId).state;
    check(after == ZAV_PROCESS_GONE || after == ZAV_PROCESS_ZOMBIE,
          "and its id stands for no running process");
}

/* Whether the pipe's access list refuses the network, then allows this user
 * alone. */
static int user_only(HANDLE pipe)
{
    PACL acl = NULL;
    PSECURITY_DESCRIPTOR descriptor = NULL;
    if (GetSecurityInfo(pipe, SE_KERNEL_OBJECT, DACL_SECURITY_INFORMATION, NULL, NULL, &acl, NULL,
                        &descriptor) != ERROR_SUCCESS) {
        return 0;
    }
    HANDLE token = NULL;
    unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    ACCESS_DENIED_ACE* refused = NULL;
    ACCESS_ALLOWED_ACE* entry = NULL;
    unsigned char network[SECURITY_MAX_SID_SIZE];
    DWORD network_size = sizeof network;
    const int ok = acl != NULL && acl->AceCount == 2 && GetAce(acl, 0, (void**)&refused) &&
                   refused->Header.AceType == ACCESS_DENIED_ACE_TYPE &&
                   CreateWellKnownSid(WinNetworkSid, NULL, network, &network_size) &&
                   EqualSid(&refused->SidStart, network) && GetAce(acl, 1, (void**)&entry) &&
                   entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE &&
                   OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token) &&
                   GetTokenInformation(token, TokenUser, user, sizeof user, &size) &&
                   EqualSid(&entry->SidStart, ((TOKEN_USER*)user)->User.Sid);
    if (token != NULL) {
        CloseHandle(token);
    }
    LocalFree(descriptor);
    return ok;
}

static void pipe(void)
{
    char path[512], why[256];
    const char* const shared = "\\\\.\\pipe\\zav_msg_ipc_pipe";
    check(zav_pipe_path(path, sizeof path, why, sizeof why) == 0 &&
              strncmp(path, shared, strlen(shared)) == 0 &&
              strncmp(path + strlen(shared), "-S-1-", 5) == 0 &&
              strcmp(ZAV_PIPE_SHARED_PATH, shared) == 0,
          "the pipe's name is the agent's, with the user's SID");
    check(zav_pipe_path(path, 30, why, sizeof why) == -1 && why[0] != '\0',
          "a name that does not fit is refused, with a reason");
    zav_pipe_path(path, sizeof path, NULL, 0);

    const HANDLE claim = zav_pipe_claim(path);
    check(claim != INVALID_HANDLE_VALUE, "the first claim makes the pipe");
    const HANDLE again = zav_pipe_claim(path);
    check(again == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED,
          "a second claim is refused");
    check(user_only(claim), "the pipe is open to this user only, and not over the network");
    const HANDLE early =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    check(early == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY,
          "no host lands on the claimed instance");

    /* The server's own instance, as the agent's local server makes it. */
    const HANDLE served = CreateNamedPipeA(path, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
    const HANDLE host =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    check(served != INVALID_HANDLE_VALUE && host != INVALID_HANDLE_VALUE,
          "a host opens the server's instance");
    check(zav_pipe_server_is_user((intptr_t)host), "the host sees the server run as its user");
    char reply[8] = "";
    DWORD n = 0;
    check(WriteFile(host, "Hello", 5, &n, NULL) &&
              ReadFile(served, reply, sizeof reply, &n, NULL) && n == 5 &&
              memcmp(reply, "Hello", 5) == 0,
          "and its bytes reach the server");
    CloseHandle(host);
    CloseHandle(served);
    CloseHandle(claim);
    const HANDLE after = zav_pipe_claim(path);
    check(after != INVALID_HANDLE_VALUE, "once closed, the name can be claimed again");
    CloseHandle(after);
}

int main(int argc, char* argv[])
{
    if (argc > 1 && strcmp(argv[1], "child") == 0) {
        Sleep(60000); /* ended by its parent */
        return 0;
    }
    processes();
    pipe();
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
