// What every operation of the store answers: an HTTP status, a body and its
// type.
#pragma once

#include <string>

namespace zp {

struct Answer
{
    int status = 200;
    std::string body;
    const char* type = "application/json";
};

} // namespace zp
