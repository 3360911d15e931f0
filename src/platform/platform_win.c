/* The platform interface on Windows: the process-status interface, process
 * times, and a named pipe that only its user may open. */
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0601 /* GetNamedPipeServerProcessId */
#endif
/* EnumProcesses from kernel32 (K32EnumProcesses): no extra import library. */
#ifndef PSAPI_VERSION
#define PSAPI_VERSION 2
#endif
#include "zavplatform.h"

#include <psapi.h>
#include <sddl.h>
#include <stdio.h>
#include <stdlib.h>

/* The most ids asked for: the buffer doubles from 1024 while it comes back full. */
#define MAX_IDS (1u << 20)

int zav_process_ids(uint64_t** ids, size_t* count)
{
    *ids = NULL;
    *count = 0;
    for (DWORD room = 1024;; room *= 2) {
        DWORD* buffer = malloc(room * sizeof *buffer);
        DWORD filled = 0;
        if (buffer == NULL || !EnumProcesses(buffer, room * sizeof *buffer, &filled)) {
            free(buffer);
            return -1;
        }
        const DWORD listed = filled / sizeof *buffer;
        if (listed == room && room < MAX_IDS) {
            free(buffer); /* full: there may be more */
            continue;
        }
        *ids = malloc((listed ? listed : 1) * sizeof **ids);
        if (*ids == NULL) {
            free(buffer);
            return -1;
        }
        for (DWORD i = 0; i < listed; ++i) {
            if (buffer[i] != 0) {
                (*ids)[(*count)++] = buffer[i];
            }
        }
        free(buffer);
        return 0;
    }
}

struct zav_stamp zav_read_stamp(uint64_t id)
{
    struct zav_stamp stamp = {ZAV_PROCESS_UNKNOWN, 0};
    if (id == 0 || id > 0xffffffffu) {
        stamp.state = ZAV_PROCESS_GONE;
        return stamp;
    }
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, (DWORD)id);
    if (process == NULL) {
        /* No such process; anything else (no access) cannot be told. */
        if (GetLastError() == ERROR_INVALID_PARAMETER) {
            stamp.state = ZAV_PROCESS_GONE;
        }
        return stamp;
    }
    FILETIME creation, exit, kernel, user;
    DWORD code = 0;
    if (GetProcessTimes(process, &creation, &exit, &kernel, &user) &&
        GetExitCodeProcess(process, &code)) {
        /* An ended process keeps its id while someone holds a handle to it. */
        stamp.state = code == STILL_ACTIVE ? ZAV_PROCESS_RUNNING : ZAV_PROCESS_ZOMBIE;
        stamp.start_time = ((uint64_t)creation.dwHighDateTime << 32) | creation.dwLowDateTime;
    }
    CloseHandle(process);
    return stamp;
}

/* The user that a process runs as, in buffer (a TOKEN_USER); NULL when it
 * cannot be read. */
static PSID process_user(HANDLE process, void* buffer, DWORD size)
{
    HANDLE token = NULL;
    if (!OpenProcessToken(process, TOKEN_QUERY, &token)) {
        return NULL;
    }
    DWORD needed = 0;
    const BOOL ok = GetTokenInformation(token, TokenUser, buffer, size, &needed);
    CloseHandle(token);
    return ok ? ((TOKEN_USER*)buffer)->User.Sid : NULL;
}

/* Room for a TOKEN_USER: the structure and the longest SID. */
#define USER_ROOM (sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE)

int zav_pipe_path(char* path, size_t size, char* why, size_t why_size)
{
    unsigned char buffer[USER_ROOM];
    const PSID user = process_user(GetCurrentProcess(), buffer, sizeof buffer);
    char* sid = NULL;
    if (user == NULL || !ConvertSidToStringSidA(user, &sid)) {
        if (why != NULL && why_size > 0) {
            snprintf(why, why_size, "this process's user cannot be read (error %lu)",
                     (unsigned long)GetLastError());
        }
        return -1;
    }
    const int n = snprintf(path, size, "%s-%s", ZAV_PIPE_SHARED_PATH, sid);
    LocalFree(sid);
    if (n < 0 || (size_t)n >= size) {
        if (why != NULL && why_size > 0) {
            snprintf(why, why_size, "the pipe's name is too long");
        }
        return -1;
    }
    return 0;
}

HANDLE zav_pipe_claim(const char* path)
{
    unsigned char buffer[USER_ROOM];
    const PSID user = process_user(GetCurrentProcess(), buffer, sizeof buffer);
    if (user == NULL) {
        return INVALID_HANDLE_VALUE;
    }
    /* Two entries: nobody who comes over the network (the NETWORK group,
     * the user's own remote logons included), then this user, who may do
     * anything; nobody else anything at all. */
    unsigned char network[SECURITY_MAX_SID_SIZE];
    DWORD network_size = sizeof network;
    if (!CreateWellKnownSid(WinNetworkSid, NULL, network, &network_size)) {
        return INVALID_HANDLE_VALUE;
    }
    const DWORD acl_size = sizeof(ACL) + sizeof(ACCESS_DENIED_ACE) + GetLengthSid(network) +
                           sizeof(ACCESS_ALLOWED_ACE) + GetLengthSid(user);
    PACL acl = malloc(acl_size);
    SECURITY_DESCRIPTOR descriptor;
    SECURITY_ATTRIBUTES attributes = {sizeof attributes, &descriptor, FALSE};
    HANDLE pipe = INVALID_HANDLE_VALUE;
    if (acl != NULL && InitializeAcl(acl, acl_size, ACL_REVISION) &&
        AddAccessDeniedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, network) &&
        AddAccessAllowedAce(acl, ACL_REVISION, FILE_ALL_ACCESS, user) &&
        InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) &&
        SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE)) {
        pipe = CreateNamedPipeA(path, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                                PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT |
                                    PIPE_REJECT_REMOTE_CLIENTS,
                                PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, &attributes);
    }
    DWORD error = GetLastError();
    free(acl);
    /* The flag refuses a name that exists; the count says so too, where the
     * flag is not honoured (wine). */
    DWORD instances = 0;
    if (pipe != INVALID_HANDLE_VALUE &&
        (!GetNamedPipeHandleStateA(pipe, NULL, &instances, NULL, NULL, NULL, 0) ||
         instances != 1)) {
        CloseHandle(pipe);
        pipe = INVALID_HANDLE_VALUE;
        error = ERROR_ACCESS_DENIED;
    }
    if (pipe == INVALID_HANDLE_VALUE) {
        SetLastError(error);
        return pipe;
    }
    /* No host may land on this instance, which nobody serves: it is taken by
     * a connection of this process's own, closed at once, which leaves it
     * closing, never listening again. */
    HANDLE self = CreateFileA(path, GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (self == INVALID_HANDLE_VALUE) {
        const DWORD refused = GetLastError();
        CloseHandle(pipe);
        SetLastError(refused);
        return INVALID_HANDLE_VALUE;
    }
    CloseHandle(self);
    return pipe;
}

int zav_pipe_server_is_user(intptr_t handle)
{
    ULONG id = 0;
    if (!GetNamedPipeServerProcessId((HANDLE)handle, &id)) {
        return 0;
    }
    HANDLE server = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, id);
    if (server == NULL) {
        return 0;
    }
    unsigned char mine[USER_ROOM], theirs[USER_ROOM];
    const PSID me = process_user(GetCurrentProcess(), mine, sizeof mine);
    const PSID owner = process_user(server, theirs, sizeof theirs);
    CloseHandle(server);
    return me != NULL && owner != NULL && EqualSid(me, owner);
}
