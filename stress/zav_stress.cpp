// zav-stress: runs the tests' build of the agent (it polls every half second)
// for a fixed time against zav-push-dev, under mixed load, and checks at the
// end that
//  - every message the service handed out for a host still registered was
//    drained over the pipe exactly once (counted by uuid),
//  - no message of a departed or replaced client appears in another queue,
//    and a departed client is gone ("GetMessage:" answers "0"),
//  - every well-formed command was answered as it should be,
//  - the agent's RSS after the run is within 5 MB of its RSS after warm-up,
//  - the agent's stderr holds no sanitizer report.
//
// Load: PEERS pipe peers (half keep one connection, half connect per
// command) send every command, malformed ones included; HOSTS "customize"
// hosts get messages from the service and are drained by the peers; churn
// hosts are registered again and again with the same pid; departing hosts
// (sleep processes) are killed so that the process watch
// removes them; "auto" messages and "PopupMessage:" open popups (offscreen).
//
// usage: zav-stress [--seconds N] [--peers N] [--hosts N] [--rss-limit-mb N]
//                   [--check-seconds N (the agent's host check, 2)]
//   agent, service and the agent's push port from ZAV_AGENT, ZAV_PUSH_DEV and
//   ZAV_PUSH_PORT (set by CTest: the tests' build of the agent).
#include <httplib.h>

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

std::string pipeFile;
int servicePort = 0;
std::atomic<bool> stopping{false};

const Clock::time_point programStart = Clock::now();

void say(const std::string& text)
{
    const double t = std::chrono::duration<double>(Clock::now() - programStart).count();
    std::printf("zav-stress: [%5.1f s] %s\n", t, text.c_str());
    std::fflush(stdout);
}

double since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

pid_t spawn(const std::vector<std::string>& args, const std::string& out,
            const std::vector<std::string>& env = {})
{
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        if (!out.empty()) {
            const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        } else {
            const int fd = open("/dev/null", O_WRONLY);
            dup2(fd, 1);
            dup2(fd, 2);
            close(fd);
        }
        for (const std::string& e : env) {
            putenv(strdup(e.c_str()));
        }
        std::vector<char*> argv;
        argv.reserve(args.size() + 1);
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

pid_t spawnHost()
{
    return spawn({"sleep", "100000"}, std::string());
}

void endProcess(pid_t pid)
{
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

long rssKb(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::atol(line.c_str() + 6);
        }
    }
    return -1;
}

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

// ---- pipe ---------------------------------------------------------------

int connectPipe()
{
    const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", pipeFile.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

bool completeJson(const std::string& text)
{
    return !QJsonDocument::fromJson(QByteArray::fromStdString(text)).isNull();
}

/// Sends one command and reads its reply. A "GetMessage:" reply is read until
/// it is "0" or complete JSON; others until the first bytes arrive. Returns
/// false when no (complete) reply came within 10 s.
bool exchange(int fd, const std::string& command, std::string& reply, bool json)
{
    reply.clear();
    if (send(fd, command.data(), command.size(), MSG_NOSIGNAL) != ssize_t(command.size())) {
        return false;
    }
    const auto start = Clock::now();
    char buf[65536];
    while (since(start) < 10) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 200) <= 0) {
            continue;
        }
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n <= 0) {
            return false;
        }
        reply.append(buf, size_t(n));
        if (!json || reply == "0" || completeJson(reply)) {
            return true;
        }
    }
    return false;
}

bool commandOnce(const std::string& command, std::string& reply, bool json = false)
{
    const int fd = connectPipe();
    if (fd < 0) {
        return false;
    }
    const bool ok = exchange(fd, command, reply, json);
    close(fd);
    return ok;
}

// ---- service ------------------------------------------------------------

bool post(const std::string& path, const std::string& body)
{
    httplib::Client cli("127.0.0.1", servicePort);
    cli.set_connection_timeout(5);
    auto res = cli.Post(path.c_str(), body, "application/json");
    return res && res->status == 200;
}

QJsonObject waitingPerKey()
{
    httplib::Client cli("127.0.0.1", servicePort);
    auto res = cli.Get("/admin/queues");
    if (!res) {
        return {};
    }
    return QJsonDocument::fromJson(QByteArray::fromStdString(res->body))
        .object()
        .value(QLatin1String("waiting"))
        .toObject();
}

// ---- bookkeeping ----------------------------------------------------------

struct Host
{
    std::string name; // mac and product are derived from it
    pid_t pid = 0;
    std::string handle;
    std::string key() const { return "mac=Zm" + name + "&product=Zs" + name; }
    std::string registerText() const
    {
        return "REGISTER:{\"pid\":\"" + std::to_string(pid) + "\",\"product\":\"Zs" + name +
               "\",\"mac\":\"Zm" + name + "\",\"handle\":\"" + handle + "\"}";
    }
};

struct Books
{
    std::mutex mutex;
    std::map<std::string, std::vector<std::string>> posted;  // host name -> uuids
    std::map<std::string, std::vector<std::string>> drained; // host name -> uuids
    std::map<std::string, int> sent, answered, wrong;        // by command kind
    std::vector<std::string> problems;
    long popups = 0;

    void count(const std::string& kind, bool gotReply, bool right, const std::string& what)
    {
        std::lock_guard<std::mutex> lock(mutex);
        ++sent[kind];
        if (gotReply) {
            ++answered[kind];
        }
        if (gotReply && !right) {
            ++wrong[kind];
            if (problems.size() < 20) {
                problems.push_back(kind + ": " + what);
            }
        }
    }
};

Books books;
std::vector<Host> counted; // customize hosts, registered for the whole run
std::vector<Host> autos;   // auto hosts
std::vector<Host> churn;   // registered again and again with the same pid
std::vector<Host> departing;

std::string uuidsOf(const std::string& reply, std::vector<std::string>& out)
{
    const QJsonArray list = QJsonDocument::fromJson(QByteArray::fromStdString(reply)).array();
    for (const QJsonValue& v : list) {
        out.push_back(v.toObject().value(QLatin1String("uuid")).toString().toStdString());
    }
    return std::string();
}

const std::vector<std::string> malformed = {
    "hello",
    "Hello ",
    "Hello\n",
    "HelloHello",
    " Hello",
    "register:{}",
    "GETMESSAGE:1",
    std::string("Hel\0lo", 6),
    "\xff\xfe\xfd",
    "\xc0\x80Hello",
    "messagecount:1",
    "REGISTER",
    std::string(3000, 'x'),
};

void peer(int index, unsigned seed)
{
    std::mt19937 rng(seed);
    const bool longLived = index % 2 == 0;
    int fd = -1;
    while (!stopping) {
        if (fd < 0) {
            fd = connectPipe();
            if (fd < 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                continue;
            }
        }
        const int pick = int(rng() % 100);
        std::string reply;
        if (pick < 15) {
            const bool got = exchange(fd, "Hello", reply, false);
            books.count("Hello", got, reply == "OK", reply);
        } else if (pick < 35) {
            const Host& h = counted[rng() % counted.size()];
            const bool got = exchange(fd, "MessageCount:" + std::to_string(h.pid), reply, false);
            const bool digits =
                !reply.empty() && reply.find_first_not_of("0123456789") == std::string::npos;
            books.count("MessageCount:", got, digits, reply);
        } else if (pick < 60) {
            const Host& h = counted[rng() % counted.size()];
            const bool got = exchange(fd, "GetMessage:" + std::to_string(h.pid), reply, true);
            const bool array =
                got && QJsonDocument::fromJson(QByteArray::fromStdString(reply)).isArray();
            books.count("GetMessage:", got, array, reply.substr(0, 80));
            if (array) {
                std::vector<std::string> ids;
                uuidsOf(reply, ids);
                std::lock_guard<std::mutex> lock(books.mutex);
                auto& d = books.drained[h.name];
                d.insert(d.end(), ids.begin(), ids.end());
            }
        } else if (pick < 65) {
            // A pid nobody has.
            const bool got = exchange(fd, "GetMessage:999999999", reply, true);
            books.count("GetMessage:(none)", got, reply == "0", reply);
        } else if (pick < 70) {
            const Host& h = churn[rng() % churn.size()];
            const bool got = exchange(fd, h.registerText(), reply, false);
            books.count("REGISTER:", got, reply == "OK", reply);
        } else {
            const std::string& bad = malformed[rng() % malformed.size()];
            const bool got = exchange(fd, bad, reply, false);
            books.count("malformed", got, reply == "ERROR: can not hanlde command", reply);
        }
        if (!longLived || reply.empty()) {
            close(fd);
            fd = -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 200));
    }
    if (fd >= 0) {
        close(fd);
    }
}

std::string message(const std::string& uuid)
{
    return "{\"uuid\":\"" + uuid + "\",\"messageForm\":\"Text\",\"title\":\"stress " + uuid +
           "\",\"summary\":\"body\",\"settings\":{\"position\":\"right\"},\"actions\":[{\"id\":\"" +
           uuid + "-a\",\"action\":\"Open\",\"url\":\"\"}]}";
}

bool postFor(const Host& h, const std::string& uuid)
{
    const std::string body = "{\"to\":{\"mac\":\"Zm" + h.name + "\",\"product\":\"Zs" + h.name +
                             "\"},\"message\":" + message(uuid) + "}";
    if (!post("/admin/messages", body)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(books.mutex);
    books.posted[h.name].push_back(uuid);
    return true;
}

} // namespace

int main(int argc, char* argv[])
{
    int seconds = 300;
    int peers = 50;
    double checkSeconds = 2; // the tests' agent checks its hosts every 2 s
    int hosts = 20;
    long rssLimitMb = 5; // 0: report only (sanitizer builds, whose allocator keeps freed memory)
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string a = argv[i];
        if (a == "--seconds") {
            seconds = std::atoi(argv[i + 1]);
        } else if (a == "--peers") {
            peers = std::atoi(argv[i + 1]);
        } else if (a == "--rss-limit-mb") {
            rssLimitMb = std::atol(argv[i + 1]);
        } else if (a == "--check-seconds") {
            checkSeconds = std::atof(argv[i + 1]);
        } else if (a == "--hosts") {
            hosts = std::atoi(argv[i + 1]);
        }
    }
    const char* agent = std::getenv("ZAV_AGENT");
    const char* pushDev = std::getenv("ZAV_PUSH_DEV");
    if (!agent || !pushDev) {
        say("set ZAV_AGENT and ZAV_PUSH_DEV");
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);

    // The port of the push URL the agent was built with.
    if (const char* port = std::getenv("ZAV_PUSH_PORT")) {
        servicePort = std::atoi(port);
    }
    if (servicePort <= 0) {
        say("set ZAV_PUSH_PORT to the agent's push service port");
        return 2;
    }
    char dirTemplate[] = "/tmp/zav-stress-XXXXXX";
    const std::string dir = mkdtemp(dirTemplate); // mode 0700
    pipeFile = dir + "/zav_msg_ipc_pipe";
    say("work dir " + dir + ", service port " + std::to_string(servicePort));

    // The port may be taken for a moment by another test's service: try for 60 s.
    pid_t service = -1;
    for (int attempt = 0; attempt < 60; ++attempt) {
        service = spawn({pushDev, "--listen", "127.0.0.1:" + std::to_string(servicePort)},
                        dir + "/push-dev.log");
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (readFile(dir + "/push-dev.log").find("listening") != std::string::npos) {
            break;
        }
        endProcess(service);
        service = -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    if (service < 0) {
        say("zav-push-dev did not start (port busy?): " + readFile(dir + "/push-dev.log"));
        return 1;
    }
    const pid_t ownHost = spawnHost();
    const std::vector<std::string> env = {
        "XDG_RUNTIME_DIR=" + dir, "QT_QPA_PLATFORM=offscreen",
        "DBUS_SESSION_BUS_ADDRESS=disabled:", "QT_XCB_GL_INTEGRATION=none"};
    const auto agentStart = Clock::now();
    const pid_t agentPid = spawn({agent, "-pid", std::to_string(ownHost), "-product", "Zsstress",
                                  "-mac", "Zmstress", "-handle", "auto"},
                                 dir + "/agent.log", env);
    std::string reply;
    for (int i = 0; i < 100 && !commandOnce("Hello", reply); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (reply != "OK") {
        say("the agent does not answer on the pipe");
        endProcess(agentPid);
        endProcess(service);
        endProcess(ownHost);
        return 1;
    }

    auto makeHosts = [](std::vector<Host>& list, int n, const std::string& prefix,
                        const std::string& handle) {
        for (int i = 0; i < n; ++i) {
            Host h;
            h.name = prefix + std::to_string(i);
            h.pid = spawnHost();
            h.handle = handle;
            list.push_back(h);
            std::string r;
            commandOnce(h.registerText(), r);
        }
    };
    makeHosts(counted, hosts, "c", "customize");
    makeHosts(autos, 2, "a", "auto");
    makeHosts(churn, 4, "r", "customize");
    makeHosts(departing, 4, "d", "customize");
    say("registered " +
        std::to_string(counted.size() + autos.size() + churn.size() + departing.size() + 1) +
        " hosts; waiting for the first poll");

    // The tests' agent polls every half second from the start: go on once
    // our own clients (products "Zs...") are being polled.
    auto ownPolls = [&dir] {
        const std::string log = readFile(dir + "/push-dev.log");
        int n = 0;
        for (size_t p = log.find("detect?"); p != std::string::npos;
             p = log.find("detect?", p + 1)) {
            const size_t eol = log.find(" -> ", p);
            if (log.substr(p, eol - p).find("&product=Zs") != std::string::npos) {
                ++n;
            }
        }
        return n;
    };
    int seen = ownPolls();
    auto window = Clock::now();
    while (since(agentStart) < 180) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        if (since(window) >= 5) {
            const int now = ownPolls();
            if (now - seen >= 4) {
                break;
            }
            seen = now;
            window = Clock::now();
        }
    }
    say("polling under way at " + std::to_string(int(since(agentStart))) + " s");

    std::vector<std::thread> threads;
    threads.reserve(size_t(peers));
    for (int i = 0; i < peers; ++i) {
        threads.emplace_back(peer, i, unsigned(1000 + i));
    }

    // Messages for departing hosts are posted before they leave, so some are
    // queued in the agent when their client is removed.
    for (const Host& h : departing) {
        for (int k = 0; k < 3; ++k) {
            postFor(h, "d-" + h.name + "-" + std::to_string(k));
        }
    }

    // Popups have no time-out and stay open until closed by hand, so their
    // number is fixed: two pipe popups during warm-up (the first ones load
    // fonts and styles once), then two "auto" messages and two pipe popups
    // spread over the run.
    auto pipePopup = [] {
        std::string r;
        const bool got = commandOnce(
            "PopupMessage:{\"messageFrom\":\"Text\",\"title\":\"stress\","
            "\"summary\":\"pipe popup\",\"actions\":[{\"id\":\"p\",\"action\":\"Open\"}]}",
            r);
        books.count("PopupMessage:", got, r == "OK", r);
        ++books.popups;
    };
    pipePopup();
    pipePopup();

    const auto loadStart = Clock::now();
    const double warmup = std::min({30.0, std::max(15.0, seconds / 3.0), seconds / 2.0});
    long warmRss = -1;
    int serial = 0;
    int popupBudget = 4;
    double nextPopup = warmup + 1;
    std::mt19937 rng(7);
    std::vector<std::pair<pid_t, double>> killed; // pid, agent time of death
    bool firstKill = false, secondKill = false;
    while (since(loadStart) < seconds) {
        const double t = since(loadStart);
        // A message for a random counted host every 0.3 s, one for a churn host now and then.
        postFor(counted[rng() % counted.size()], "c-" + std::to_string(serial++));
        if (serial % 10 == 0) {
            postFor(churn[rng() % churn.size()], "r-" + std::to_string(serial));
        }
        if (t >= nextPopup && popupBudget > 0) {
            if (popupBudget % 2 == 0) {
                postFor(autos[rng() % autos.size()], "a-" + std::to_string(serial));
                ++books.popups;
            } else {
                pipePopup();
            }
            --popupBudget;
            nextPopup = t + (seconds - warmup) / 5.0;
        }
        if (!firstKill && t > seconds * 0.2) {
            firstKill = true;
            for (size_t i = 0; i < departing.size() / 2; ++i) {
                endProcess(departing[i].pid);
                killed.emplace_back(departing[i].pid, since(agentStart));
            }
        }
        if (!secondKill && t > seconds * 0.6) {
            secondKill = true;
            for (size_t i = departing.size() / 2; i < departing.size(); ++i) {
                endProcess(departing[i].pid);
                killed.emplace_back(departing[i].pid, since(agentStart));
            }
        }
        if (warmRss < 0 && t > warmup) {
            warmRss = rssKb(agentPid);
            say("RSS after warm-up: " + std::to_string(warmRss) + " kB");
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    stopping = true;
    for (std::thread& th : threads) {
        th.join();
    }
    say("load ended; draining");

    // Settle: wait until the service has handed out everything it holds for
    // the counted hosts, then drain each once more.
    const auto settleStart = Clock::now();
    while (since(settleStart) < 150) {
        const QJsonObject waiting = waitingPerKey();
        int left = 0;
        for (const Host& h : counted) {
            left += waiting.value(QString::fromStdString(h.key())).toInt();
        }
        if (left == 0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const QJsonObject waiting = waitingPerKey();
    for (const Host& h : counted) {
        std::string r;
        if (commandOnce("GetMessage:" + std::to_string(h.pid), r, true)) {
            std::vector<std::string> ids;
            uuidsOf(r, ids);
            auto& d = books.drained[h.name];
            d.insert(d.end(), ids.begin(), ids.end());
        }
    }
    const long endRss = rssKb(agentPid);
    const double agentSeconds = since(agentStart);

    // ---- checks ----
    std::vector<std::string> failures;
    long handedOut = 0, drainedTotal = 0;
    std::set<std::string> everyDrained;
    for (const Host& h : counted) {
        const auto& posted = books.posted[h.name];
        const auto& drained = books.drained[h.name];
        const int stillWaiting = waiting.value(QString::fromStdString(h.key())).toInt();
        // The service hands out in order: the first posted minus the waiting ones.
        const size_t out = posted.size() - size_t(std::max(0, stillWaiting));
        handedOut += long(out);
        drainedTotal += long(drained.size());
        std::map<std::string, int> seen;
        for (const std::string& id : drained) {
            ++seen[id];
            everyDrained.insert(id);
        }
        for (size_t i = 0; i < out; ++i) {
            const int n = seen.count(posted[i]) ? seen[posted[i]] : 0;
            if (n != 1) {
                failures.push_back(h.name + ": " + posted[i] + " drained " + std::to_string(n) +
                                   " times");
            }
        }
        std::set<std::string> mine(posted.begin(), posted.end());
        for (const auto& s : seen) {
            if (!mine.count(s.first)) {
                failures.push_back(h.name + ": foreign message " + s.first);
            }
        }
    }
    for (const std::string& id : everyDrained) {
        if (id.rfind("d-", 0) == 0 || id.rfind("r-", 0) == 0) {
            failures.push_back("a message of another client drained: " + id);
        }
    }
    // Departed clients: gone if a process check ran after their death.
    const std::string agentLog = readFile(dir + "/agent.log");
    int departedGone = 0, departedPending = 0;
    for (const auto& k : killed) {
        const double nextCheck = (int(k.second / checkSeconds) + 1) * checkSeconds;
        std::string r;
        commandOnce("GetMessage:" + std::to_string(k.first), r, true);
        if (nextCheck < agentSeconds - 1) {
            if (r == "0") {
                ++departedGone;
            } else {
                failures.push_back("departed pid " + std::to_string(k.first) +
                                   " still pooled: " + r.substr(0, 60));
            }
        } else {
            ++departedPending; // no process check since its death
        }
    }
    for (const auto& kind : books.sent) {
        const int answered = books.answered[kind.first];
        const int wrong = books.wrong[kind.first];
        say("  " + kind.first + ": sent " + std::to_string(kind.second) + ", answered " +
            std::to_string(answered) + ", wrong " + std::to_string(wrong));
        if (kind.first != "malformed" && answered != kind.second) {
            failures.push_back(kind.first + ": " + std::to_string(kind.second - answered) +
                               " well-formed commands unanswered");
        }
        if (wrong > 0) {
            failures.push_back(kind.first + ": " + std::to_string(wrong) + " wrong replies");
        }
    }
    for (const std::string& p : books.problems) {
        say("  reply problem: " + p.substr(0, 120));
    }
    const long drift = endRss - warmRss;
    if (warmRss < 0 || endRss < 0 || (rssLimitMb > 0 && drift > rssLimitMb * 1024)) {
        failures.push_back("RSS drift " + std::to_string(drift) + " kB (warm-up " +
                           std::to_string(warmRss) + " kB, end " + std::to_string(endRss) + " kB)");
    }

    // Orderly end: SIGTERM, so that LeakSanitizer runs in a sanitizer build.
    kill(agentPid, SIGTERM);
    int status = 0;
    for (int i = 0; i < 300 && waitpid(agentPid, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    if (waitpid(agentPid, &status, WNOHANG) == 0 && kill(agentPid, 0) == 0) {
        failures.push_back("the agent did not end on SIGTERM within 30 s");
        endProcess(agentPid);
    }
    const std::string log = readFile(dir + "/agent.log");
    for (const char* marker : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "runtime error:", "WARNING: ThreadSanitizer"}) {
        if (log.find(marker) != std::string::npos) {
            failures.push_back(std::string("sanitizer report in agent.log: ") + marker);
        }
    }
    for (const Host& h : counted)
        endProcess(h.pid);
    for (const Host& h : autos)
        endProcess(h.pid);
    for (const Host& h : churn)
        endProcess(h.pid);
    for (size_t i = 0; i < departing.size(); ++i)
        endProcess(departing[i].pid);
    endProcess(ownHost);
    kill(service, SIGTERM);
    waitpid(service, nullptr, 0);

    const std::string removals = std::to_string([&] {
        int n = 0;
        for (size_t p = agentLog.find("remove process"); p != std::string::npos;
             p = agentLog.find("remove process", p + 1)) {
            ++n;
        }
        return n;
    }());
    say("agent ran " + std::to_string(int(agentSeconds)) + " s, load " + std::to_string(seconds) +
        " s, " + std::to_string(peers) + " peers, " + std::to_string(counted.size()) +
        " customize hosts");
    say("messages handed out to counted hosts " + std::to_string(handedOut) + ", drained " +
        std::to_string(drainedTotal) + ", popups " + std::to_string(books.popups));
    say("departed clients removed " + std::to_string(departedGone) +
        ", not yet checked by the watch " + std::to_string(departedPending) +
        ", removal lines in the log " + removals);
    say("RSS warm-up " + std::to_string(warmRss) + " kB, end " + std::to_string(endRss) +
        " kB, drift " + std::to_string(drift) + " kB");
    for (const std::string& f : failures) {
        say("FAIL: " + f);
    }
    say(failures.empty() ? "PASS (logs in " + dir + ")" : "FAILED (logs in " + dir + ")");
    return failures.empty() ? 0 : 1;
}
