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
    Json value(json_loadb(text.data(), text.size(), JSON_REJECT_DUPLICATES | JSON_DECODE_ANY,
                          &error));
    if (!value && reason) {
        *reason = std::string("not JSON: ") + error.text + " at offset " +
                  std::to_string(error.position);
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

/// A string member, or the empty text.
inline std::string jsonText(const json_t* object, const char* key)
{
    const json_t* v = json_object_get(object, key);
    return json_is_string(v) ? std::string(json_string_value(v), json_string_length(v))
                             : std::string();
}

} // namespace zp
