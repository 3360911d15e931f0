// The command line's side of the admin API: one request, its answer.
#pragma once

#include <string>

namespace zp {

struct ClientAnswer
{
    int status = 0; ///< 0: no answer (the reason is in body)
    std::string body;
};

/// Sends one request to BASE (http://HOST:PORT) + path with the token, within
/// timeoutMs for each step.
ClientAnswer adminRequest(const std::string& base, const std::string& method,
                          const std::string& path, const std::string& token,
                          const std::string& body, int timeoutMs = 10000);

} // namespace zp
