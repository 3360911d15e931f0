// What each path of the two listeners does: the agents' side under the
// prefix (/push by default) and the admin API under /admin.
#pragma once

#include "http/server.h"
#include "store/store.h"

#include <string>

namespace zp {

/// The agents' side: GET PREFIX/channel/polling/detect, .../message,
/// .../action?id=, and PREFIX/health for a load balancer.
Answer agentSide(PushStore& store, const std::string& prefix, const HttpRequest& request);

/// The admin API, for a bearer token of the read or the write role.
Answer adminSide(PushStore& store, const HttpRequest& request);

} // namespace zp
