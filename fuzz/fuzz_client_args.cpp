// Fuzzes the command-line reader, Client(argc, argv). The input is split at
// NUL bytes into the arguments after the program name.
//
// Invariants: never crashes, never reads past argv[argc]; the client text of
// the result reads back to the same members.
#include "core/clientpool.h"
#include "fuzzcommon.h"

#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::init();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One heap block per argument, so ASan sees a read past any of them.
    std::vector<char*> argv;
    argv.push_back(strdup("zav-msg-agent"));
    // Empty input: no arguments. Otherwise every NUL ends one argument and
    // the rest after the last NUL is one more (possibly empty) argument.
    if (size > 0) {
        size_t start = 0;
        for (size_t i = 0; i <= size; ++i) {
            if (i == size || data[i] == 0) {
                auto* arg = static_cast<char*>(malloc(i - start + 1));
                memcpy(arg, data + start, i - start);
                arg[i - start] = 0;
                argv.push_back(arg);
                start = i + 1;
            }
        }
    }
    const int argc = int(argv.size());
    argv.push_back(nullptr); // argv[argc], as the platform gives it

    {
        Client client(argc, argv.data());
        fuzz::check(client.fingerprint.isEmpty() && client.messages.isEmpty(),
                    "the command line set fingerprint or messages");
        fuzz::check(client.purchase.isEmpty() || client.purchase == QLatin1String("Y") ||
                        client.purchase == QLatin1String("N"),
                    "purchase is neither empty, Y nor N");

        Client copy(client.toJson());
        fuzz::check(copy.uid == client.uid && copy.mac == client.mac &&
                        copy.product == client.product && copy.ukey == client.ukey &&
                        copy.productVersion == client.productVersion &&
                        copy.purchase == client.purchase && copy.pid == client.pid &&
                        copy.handle == client.handle && copy.properties == client.properties,
                    "command-line client does not survive its client text");
    }

    for (char* arg : argv) {
        free(arg);
    }
    return 0;
}
