#include "http/routes.h"

#include "core/json.h"

#include <ctime>

namespace zp {

namespace {

Answer plain(int status, const std::string& text)
{
    Answer a;
    a.status = status;
    a.body = text + "\n";
    a.type = "text/plain; charset=utf-8";
    return a;
}

int64_t nowSeconds()
{
    return static_cast<int64_t>(std::time(nullptr));
}

/// "12" -> 12; false for anything else.
bool readId(const std::string& text, int64_t* id)
{
    if (text.empty() || text.size() > 18 ||
        text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    *id = std::stoll(text);
    return true;
}

} // namespace

Answer agentSide(PushStore& store, const std::string& prefix, const HttpRequest& request)
{
    std::string path;
    AgentQuery query;
    std::string reason;
    if (!readTarget(request.target, &path, &query, &reason)) {
        return plain(400, reason);
    }
    if (path.compare(0, prefix.size(), prefix) != 0) {
        return plain(404, "not found: " + shown(path));
    }
    const std::string rest = path.substr(prefix.size());
    if (request.method != "GET") {
        return plain(405, "the agent's side takes GET only");
    }
    if (rest == "/channel/polling/detect") {
        return store.detect(query, nowSeconds());
    }
    if (rest == "/channel/polling/message") {
        return store.fetch(query, nowSeconds());
    }
    if (rest == "/channel/polling/action") {
        return store.action(query, nowSeconds());
    }
    if (rest == "/health") {
        const Answer a = store.settings();
        return a.status == 200 ? plain(200, "ok") : a;
    }
    return plain(404, "not found: " + shown(path));
}

Answer adminSide(PushStore& store, const HttpRequest& request)
{
    std::string path;
    AgentQuery ignored;
    std::string reason;
    if (!readTarget(request.target, &path, &ignored, &reason)) {
        return plain(400, reason);
    }
    if (path == "/admin/health") {
        const Answer a = store.settings();
        return a.status == 200 ? plain(200, "ok") : a;
    }
    const std::string bearer = "Bearer ";
    const Role role = request.authorization.compare(0, bearer.size(), bearer) == 0
                          ? store.authorize(request.authorization.substr(bearer.size()))
                          : Role::None;
    if (role == Role::None) {
        Answer a = plain(401, "a valid token is needed: Authorization: Bearer TOKEN "
                              "(zav-push token add NAME)");
        return a;
    }
    const bool reading = request.method == "GET";
    if (!reading && request.method != "POST" && request.method != "PUT") {
        return plain(405, "the admin API takes GET, POST and PUT");
    }
    if (!reading && role != Role::Write) {
        return plain(403, "this token may only read");
    }
    // /admin/campaigns[/ID[/VERB]], /admin/direct, /admin/settings
    std::vector<std::string> parts;
    for (std::size_t from = 1; from <= path.size();) {
        const std::size_t slash = path.find('/', from);
        parts.push_back(
            path.substr(from, slash == std::string::npos ? std::string::npos : slash - from));
        from = slash == std::string::npos ? path.size() + 1 : slash + 1;
    }
    if (parts.empty() || parts[0] != "admin" || parts.size() < 2) {
        return plain(404, "not found: " + shown(path));
    }
    const int64_t now = nowSeconds();
    if (parts[1] == "campaigns") {
        if (parts.size() == 2) {
            return reading ? store.listCampaigns() : store.createCampaign(request.body, now);
        }
        int64_t id = 0;
        if (!readId(parts[2], &id)) {
            return plain(404, "not a campaign id: " + shown(parts[2]));
        }
        if (parts.size() == 3 && reading) {
            return store.showCampaign(id);
        }
        if (parts.size() == 4 && parts[3] == "stats" && reading) {
            return store.stats(id);
        }
        if (parts.size() == 4 && !reading) {
            return store.changeCampaign(id, parts[3], now);
        }
    } else if (parts[1] == "direct" && parts.size() == 2 && !reading) {
        return store.sendDirect(request.body, now);
    } else if (parts[1] == "settings" && parts.size() == 2) {
        return reading ? store.settings() : store.changeSettings(request.body);
    }
    return plain(404, "not found: " + request.method + " " + shown(path));
}

} // namespace zp
