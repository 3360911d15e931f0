// jansson values with an owner, and the few reads the service makes of them.
#pragma once

#include <jansson.h>

#include <cstdint>
#include <memory>
#include <string>

namespace zp {

struct JsonFree
{
    void operator()(json_t* value) const { json_decref(value); }
};
/// An owned reference to a JSON value.
using Json = std::unique_ptr<json_t, JsonFree>;

/// Parses text that must be one JSON value (UTF-8 checked by jansson, duplicate
/// keys refused); null and a one-line reason when it is not.
inline Json parseJson(const std::string& text, std::string* reason)
{
    json_error_t error{};
    Json value(
        json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES | JSON_DECODE_ANY, &error));
    if (!value && reason) {
        // jansson's text may quote the input, control characters included.
        std::string why = error.text;
        for (char& c : why) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) {
                c = '?';
            }
        }
        *reason = "not JSON: " + why + " at offset " + std::to_string(error.position);
    }
    return value;
}

/// Compact text of a value (keys in insertion order).
inline std::string dumpJson(const json_t* value)
{
    char* text = json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY);
    std::string out = text ? text : "null";
    free(text);
    return out;
}

/// A text from outside as a reason may show it: JSON-quoted (control
/// characters escaped, so the reason stays one line), cut at 100 bytes.
inline std::string shown(const std::string& text)
{
    const std::string cut = text.size() > 100 ? text.substr(0, 100) : text;
    Json value(json_stringn_nocheck(cut.data(), cut.size()));
    char* dumped = value ? json_dumps(value.get(), JSON_ENCODE_ANY | JSON_ENSURE_ASCII) : nullptr;
    std::string out = dumped ? dumped : "\"?\"";
    free(dumped);
    return text.size() > 100 ? out + "..." : out;
}

/// A string member, or the empty text.
inline std::string jsonText(const json_t* object, const char* key)
{
    const json_t* v = json_object_get(object, key);
    return json_is_string(v) ? std::string(json_string_value(v), json_string_length(v))
                             : std::string();
}

} // namespace zp
