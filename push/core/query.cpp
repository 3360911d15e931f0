#include "core/query.h"

namespace zp {

namespace {

int hexValue(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

} // namespace

bool percentDecode(std::string_view in, std::string* out)
{
    out->clear();
    out->reserve(in.size());
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            out->push_back(in[i]);
            continue;
        }
        if (i + 2 >= in.size()) {
            return false;
        }
        const int hi = hexValue(in[i + 1]);
        const int lo = hexValue(in[i + 2]);
        if (hi < 0 || lo < 0) {
            return false;
        }
        out->push_back(static_cast<char>(hi * 16 + lo));
        i += 2;
    }
    return true;
}

bool validUtf8(std::string_view text)
{
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len = 0;
        unsigned int cp = 0;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (n - i < len) {
            return false;
        }
        for (std::size_t k = 1; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) {
                return false;
            }
            cp = (cp << 6) | (s[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF))) {
            return false;
        }
        i += len;
    }
    return true;
}

bool readTarget(std::string_view target, std::string* path, AgentQuery* query, std::string* reason)
{
    if (target.empty() || target.front() != '/') {
        *reason = "the request target is not a path";
        return false;
    }
    const std::size_t mark = target.find('?');
    if (!percentDecode(target.substr(0, mark), path) || !validUtf8(*path)) {
        *reason = "the path is not valid percent-encoded UTF-8";
        return false;
    }
    *query = AgentQuery();
    if (mark == std::string_view::npos) {
        return true;
    }
    std::string_view rest = target.substr(mark + 1);
    std::size_t count = 0;
    std::string name;
    std::string value;
    while (!rest.empty()) {
        const std::size_t amp = rest.find('&');
        const std::string_view pair = rest.substr(0, amp);
        rest = amp == std::string_view::npos ? std::string_view() : rest.substr(amp + 1);
        if (pair.empty()) {
            continue;
        }
        if (++count > QueryLimits::maxParams) {
            *reason = "more than " + std::to_string(QueryLimits::maxParams) + " query parameters";
            return false;
        }
        const std::size_t eq = pair.find('=');
        if (!percentDecode(pair.substr(0, eq), &name) ||
            !percentDecode(eq == std::string_view::npos ? std::string_view() : pair.substr(eq + 1),
                           &value)) {
            *reason = "a bad percent escape in the query";
            return false;
        }
        if (value.size() > QueryLimits::maxValue || name.size() > QueryLimits::maxValue) {
            *reason = "a query parameter over " + std::to_string(QueryLimits::maxValue) + " bytes";
            return false;
        }
        if (!validUtf8(name) || !validUtf8(value)) {
            *reason = "the query is not valid UTF-8";
            return false;
        }
        std::string* field = nullptr;
        if (name == "fingerprint") {
            field = &query->fingerprint;
        } else if (name == "userId") {
            field = &query->userId;
        } else if (name == "mac") {
            field = &query->mac;
        } else if (name == "product") {
            field = &query->product;
        } else if (name == "ukey") {
            field = &query->ukey;
        } else if (name == "version") {
            field = &query->version;
        } else if (name == "purchased") {
            field = &query->purchased;
        } else if (name == "properties") {
            field = &query->properties;
        } else if (name == "id") {
            field = &query->id;
        }
        if (field) {
            *field = value; // a repeated parameter: the last one counts
        }
    }
    return true;
}

std::map<std::string, std::string> splitProperties(std::string_view text)
{
    std::map<std::string, std::string> map;
    while (!text.empty() && map.size() < QueryLimits::maxProperties) {
        const std::size_t comma = text.find(',');
        const std::string_view entry = text.substr(0, comma);
        text = comma == std::string_view::npos ? std::string_view() : text.substr(comma + 1);
        const std::size_t colon = entry.find(':');
        map[std::string(entry.substr(0, colon))] =
            colon == std::string_view::npos ? std::string() : std::string(entry.substr(colon + 1));
    }
    return map;
}

} // namespace zp
