-- wrk: detect queries of random machines of the simulated fleet, as agents
-- that hold a fingerprint send them.
local machines = tonumber(os.getenv("FLEET") or "1000000")
local counter = 0
function setup(thread)
   counter = counter + 1
   thread:set("seed", counter)
end
function init(args)
   math.randomseed(seed * 7919)
end
function request()
   return wrk.format("GET", string.format("/push/channel/polling/detect?fingerprint=f%07d",
                                          math.random(1, machines)))
end
