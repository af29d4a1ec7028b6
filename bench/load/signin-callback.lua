-- wrk script for complete Google sign-in callbacks against the provider simulator (zelk-sim
-- started with --pre-approved-codes, so that codes need no visit to its consent page):
--
--   wrk -t2 -c50 -d10s -s signin-callback.lua URL -- [CODE_PREFIX [CHECK_EVERY [CONNECTIONS]]]
--
-- Each simulated browser loads the page without a cookie (a new session: its cookie and the
-- sign-in form's token, when the server uses one), then POSTs the sign-in button
-- (/google/login) with them, and the server redirects to the provider. The script takes the
-- "state" from that redirect and later sends the browser's return: GET / with "state",
-- a code of its own ("CODE_PREFIX<thread>-<n>", unique in the run; default prefix "bench-"
-- and the time) and the session cookie. The server exchanges the code, fetches the profile,
-- signs the user in and redirects back to its page ("/", absolute or not).
--
-- wrk runs one Lua state per thread and has no per-connection hook, so each thread keeps a
-- queue of started sign-ins. A redirect that sets no cookie is paired with the oldest sign-in
-- POST of its thread: exact with one connection per thread (wrk -tN -cN), which the servers
-- that keep the session's cookie at sign-in need. request() sends the oldest pending return
-- when there is one, else the next step of a new sign-in. The cookie travels in the request, so any connection can carry any session's
-- return. Replies are told apart by what they are: a redirect to the provider's authorization
-- page (a sign-in), a redirect to "/" (a completed return), a 200 page (a check, below).
--
-- A redirect to the page does not prove the sign-in worked (the demo redirects there on failure
-- too), so every CHECK_EVERY-th return (default 20; 0: none) is followed by a GET of the page
-- with that session's cookie, which must say "Signed in with Google as". A server that gives
-- the session a new cookie at sign-in is checked with that new cookie; one that keeps it is
-- checked with the cookie sent, once as many returns have completed since as the thread has
-- connections (CONNECTIONS, wrk's -c divided by -t, default 25): a check sent before its return
-- was served finds "Waiting for Google's answer" and is counted as too early, not as a failure.
--
-- wrk's latency histogram covers every request (sign-ins, returns and checks alike), and a
-- reply cannot be matched to its request, so the returns' percentiles cannot be separated. The
-- mean time of a return is measured instead by Little's law: the time integral of returns in
-- flight divided by the returns completed.

local ffi = require("ffi")
ffi.cdef([[
  typedef struct { long tv_sec; long tv_nsec; } zelk_timespec;
  int clock_gettime(int clock, zelk_timespec *ts);
]])
local CLOCK_MONOTONIC = 1
local ts = ffi.new("zelk_timespec")
local function now()
  ffi.C.clock_gettime(CLOCK_MONOTONIC, ts)
  return tonumber(ts.tv_sec) + tonumber(ts.tv_nsec) * 1e-9
end

local threads = {}

function setup(thread)
  thread:set("id", #threads + 1)
  table.insert(threads, thread)
end

-- A first-in, first-out queue.
local function queue()
  return { first = 1, last = 0 }
end
local function push(q, v)
  q.last = q.last + 1
  q[q.last] = v
end
local function pop(q)
  if q.first > q.last then return nil end
  local v = q[q.first]
  q[q.first] = nil
  q.first = q.first + 1
  return v
end
local function peek(q)
  if q.first > q.last then return nil end
  return q[q.first]
end

function init(args)
  prefix = args[1] or ("bench-" .. os.time() .. "-")
  check_every = tonumber(args[2] or "20")
  connections = tonumber(args[3] or "25")
  page = wrk.format("GET", "/")
  pages = queue() -- new sessions' pages: { cookie, token }
  posted = queue() -- cookies of the sign-in POSTs sent, in order
  started = queue() -- sign-ins waiting for their return: { cookie, state }
  deferred = queue() -- checks waiting for their return to be done: { cookie, due }
  ready = queue() -- cookies of sessions whose page is to be checked
  serial = 0
  returns_sent = 0
  rotates = false -- the server gave a session a new cookie at sign-in

  -- Counted per thread, summed in done().
  signins = 0         -- redirects to the provider with a state and a session cookie
  signins_bad = 0     -- replies to a sign-in without them
  callbacks = 0       -- returns answered with the redirect back to the page
  callbacks_other = 0 -- returns answered with anything else (another redirect)
  checks_ok = 0       -- pages that show the signed-in user
  checks_failed = 0   -- pages that do not
  checks_early = 0    -- pages that still wait for the return
  others = 0          -- replies none of the above (error pages, refusals)
  last_other = ""     -- the last of those, for the report

  in_flight = 0
  last_change = 0
  busy_seconds = 0    -- integral over time of the returns in flight
end

local function returns_in_flight(delta)
  local t = now()
  if last_change > 0 then busy_seconds = busy_seconds + in_flight * (t - last_change) end
  last_change = t
  in_flight = in_flight + delta
end

function request()
  local d = peek(deferred)
  if d ~= nil and callbacks + callbacks_other >= d.due then
    pop(deferred)
    if not rotates then push(ready, d.cookie) end
  end
  local cookie = pop(ready)
  if cookie ~= nil then
    return wrk.format("GET", "/", { Cookie = cookie })
  end
  local s = pop(started)
  if s ~= nil then
    serial = serial + 1
    returns_sent = returns_sent + 1
    if check_every > 0 and returns_sent % check_every == 0 then
      push(deferred, { cookie = s.cookie, due = callbacks + callbacks_other + connections })
    end
    returns_in_flight(1)
    return wrk.format("GET", "/?state=" .. s.state .. "&code=" .. prefix .. id .. "-" .. serial,
                      { Cookie = s.cookie })
  end
  local p = pop(pages)
  if p ~= nil then
    push(posted, p.cookie)
    return wrk.format("POST", "/google/login",
                      { ["Content-Type"] = "application/x-www-form-urlencoded", Cookie = p.cookie },
                      "zelk_form_token=" .. p.token)
  end
  return page
end

local function cookie_of(headers)
  local c = headers["Set-Cookie"]
  return c and c:match("^([^;]+)")
end

function response(status, headers, body)
  local location = headers["Location"]
  if status >= 301 and status <= 303 and location ~= nil then
    -- The authorization endpoint of either API generation.
    if location:find("/o/oauth2/auth?", 1, true) or location:find("/o/oauth2/v2/auth?", 1, true) then
      local state = location:match("[?&]state=([^&#]+)")
      -- The session's cookie: set anew with the redirect, else the one the POST carried.
      local cookie = cookie_of(headers) or pop(posted)
      if cookie_of(headers) ~= nil then pop(posted) end
      if state ~= nil and cookie ~= nil then
        signins = signins + 1
        push(started, { cookie = cookie, state = state })
      else
        signins_bad = signins_bad + 1
      end
      return
    end
    returns_in_flight(-1)
    if location == "/" or location:match("^https?://[^/]+/$") then
      callbacks = callbacks + 1
      local cookie = cookie_of(headers)
      if cookie ~= nil then
        rotates = true
        if check_every > 0 and callbacks % check_every == 0 then push(ready, cookie) end
      end
    else
      callbacks_other = callbacks_other + 1
      last_other = status .. " to " .. location
    end
    return
  end
  if status == 200 then
    local cookie = cookie_of(headers)
    if cookie ~= nil and (body:find("Not signed in", 1, true) or
                          body:find("Not tried yet", 1, true)) then
      -- A new session's page: its sign-in form, and the form's token when it has one.
      push(pages, { cookie = cookie, token = body:match('name="zelk_form_token" value="([^"]*)"') or "" })
      return
    end
    if body:find("Signed in with Google as ", 1, true) then
      checks_ok = checks_ok + 1
    elseif body:find("Waiting for Google's answer", 1, true) then
      checks_early = checks_early + 1
    else
      checks_failed = checks_failed + 1
    end
    return
  end
  others = others + 1
  last_other = tostring(status)
end

function done(summary, latency, requests)
  local t = {}
  local names = { "signins", "signins_bad", "callbacks", "callbacks_other", "checks_ok",
                  "checks_failed", "checks_early", "others", "busy_seconds" }
  for _, n in ipairs(names) do t[n] = 0 end
  local last = ""
  for _, th in ipairs(threads) do
    for _, n in ipairs(names) do t[n] = t[n] + th:get(n) end
    if th:get("last_other") ~= "" then last = th:get("last_other") end
  end
  local seconds = summary.duration / 1e6
  local e = summary.errors
  io.write(string.format("sign-ins %d (refused or malformed %d)\n", t.signins, t.signins_bad))
  io.write(string.format("callbacks %d redirected back to the page, %d elsewhere\n", t.callbacks,
                         t.callbacks_other))
  io.write(string.format("page checks %d signed in, %d not signed in, %d too early\n",
                         t.checks_ok, t.checks_failed, t.checks_early))
  io.write(string.format("other replies %d%s; socket errors connect %d read %d write %d " ..
                         "timeout %d\n", t.others, last ~= "" and (" (last: " .. last .. ")") or "",
                         e.connect, e.read, e.write, e.timeout))
  local completed = t.callbacks + t.callbacks_other
  io.write(string.format("callback_mean_ms %.1f (Little's law; percentiles below are of all " ..
                         "requests)\n", completed > 0 and t.busy_seconds / completed * 1000 or 0))
  io.write(string.format("all_requests p50_ms %.3f p99_ms %.3f requests_per_s %.1f\n",
                         latency:percentile(50) / 1000, latency:percentile(99) / 1000,
                         summary.requests / seconds))
  io.write(string.format("callbacks_per_s %.1f\n", t.callbacks / seconds))
  local failed = t.signins_bad + t.callbacks_other + t.checks_failed + t.others + e.timeout
  if failed > 0 or t.callbacks == 0 then
    io.write(string.format("FAILED: %d replies show a sign-in that did not complete%s\n", failed,
                           t.callbacks == 0 and " (no callback completed at all)" or ""))
  else
    io.write("no failed sign-in seen\n")
  end
end
