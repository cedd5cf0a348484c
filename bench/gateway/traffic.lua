-- wrk script of bench/gateway/run: a shop's search requests, five arguments
-- each, sent with the learned domain's host name.
--
-- Environment (read when wrk loads the script, before its threads start):
--   TRAFFIC  repeated: the same 4 requests over and over, as crawlers and
--                      retries send them;
--            varied:   4096 requests whose values are drawn from the lists
--                      below (every value recurs, their combinations rarely).
--   SEED     seeds the draw of the varied requests (learning uses its own).
--   RATE     requests per second of each wrk thread; 0 or unset: as fast as
--            the connections allow (closed loop).
--   HOST     the Host header (the domain mlgate knows).
--
-- Both kinds are built once and then only picked, so wrk spends the same on
-- each and the difference lies in what the gateway is asked to judge.
--
-- Pacing: wrk 4.1 has no rate option, only a delay() hook called before a
-- connection sends its next request. Each call claims the next slot of one
-- schedule per thread (slot k at start + k / RATE) and waits until it;
-- wrk's timers have whole milliseconds, so requests leave in small bursts at
-- each millisecond. Latency is measured from the moment a request is sent,
-- not from its slot: a server that falls behind delays the sends rather than
-- showing the wait (wrk2 would count it; it is not in Debian).

local ffi = require("ffi")
ffi.cdef [[
  typedef struct { long tv_sec; long tv_nsec; } gate_timespec;
  int clock_gettime(int clock, gate_timespec *ts);
]]
local ts = ffi.new("gate_timespec")
local function now()
  ffi.C.clock_gettime(1, ts) -- CLOCK_MONOTONIC
  return tonumber(ts.tv_sec) + tonumber(ts.tv_nsec) * 1e-9
end

local traffic = os.getenv("TRAFFIC") or "varied"
local rate = tonumber(os.getenv("RATE") or "0") or 0
local host = os.getenv("HOST") or "shop.bench"
local seed = tonumber(os.getenv("SEED") or "1") or 1

local words = {
  "shoes", "boots", "sandals", "sneakers", "loafers", "slippers", "trainers", "heels",
  "jacket", "coat", "parka", "raincoat", "blazer", "vest", "hoodie", "sweater",
  "shirt", "blouse", "tshirt", "polo", "dress", "skirt", "jeans", "chinos",
  "shorts", "leggings", "socks", "scarf", "gloves", "hat", "cap", "belt",
  "bag", "backpack", "wallet", "watch", "sunglasses", "umbrella", "pyjamas", "swimsuit",
  "running shoes", "winter boots", "rain jacket", "wool sweater", "linen shirt",
  "summer dress", "denim jacket", "leather belt", "hiking boots", "ankle socks",
}
local sorts = { "price", "price_desc", "name", "newest", "rating", "popularity" }
local colors = {
  "red", "blue", "black", "white", "green", "navy", "beige", "grey",
  "brown", "pink", "yellow", "orange", "purple", "olive", "cream", "teal",
}

local function enc(s)
  return (s:gsub(" ", "+"))
end

local function target(q, page, sort, size, color)
  return string.format("/search?q=%s&page=%d&sort=%s&size=%d&color=%s",
    enc(q), page, sort, size, color)
end

local pool = {}
local function add(path)
  pool[#pool + 1] = wrk.format("GET", path, { ["Host"] = host })
end

if traffic == "repeated" then
  add(target("shoes", 2, "price", 42, "red"))
  add(target("boots", 1, "newest", 40, "black"))
  add(target("rain jacket", 3, "rating", 38, "navy"))
  add(target("sneakers", 1, "popularity", 44, "white"))
else
  math.randomseed(seed)
  for _ = 1, 4096 do
    add(target(words[math.random(#words)], math.random(1, 20), sorts[math.random(#sorts)],
      math.random(34, 48), colors[math.random(#colors)]))
  end
end

local next_req = 0
function request()
  next_req = next_req % #pool + 1
  return pool[next_req]
end

if rate > 0 then
  local interval = 1 / rate
  local due = nil
  function delay()
    local t = now()
    if due == nil or due < t - 0.1 then
      -- start, or more than 100 ms behind: begin the schedule again instead of
      -- sending the missed slots in one burst
      due = t
    end
    local wait = due - t
    due = due + interval
    if wait <= 0 then return 0 end
    return math.floor(wait * 1000)
  end
end

function done(summary, latency, requests)
  local e = summary.errors
  io.write(string.format(
    "RESULT requests=%d duration_us=%d p50_us=%d p90_us=%d p99_us=%d max_us=%d " ..
    "connect_err=%d read_err=%d write_err=%d timeout_err=%d status_err=%d\n",
    summary.requests, summary.duration, latency:percentile(50), latency:percentile(90),
    latency:percentile(99), latency.max, e.connect, e.read, e.write, e.timeout, e.status))
end
