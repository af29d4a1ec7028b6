-- wrk script for the demo's sign-in redirect: every request is the sign-in button's POST
-- without a session cookie, so the server makes a new session, calls Login and answers with
-- the redirect to the provider. wrk runs one Lua state per thread, not per connection, so the
-- script cannot follow a connection's cookie; it counts the session cookies the replies set
-- (one per reply shows that every reply began a new session) and keeps the last one.
-- Replies other than a redirect (301 to 303) with a Location are counted and printed at the end.

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  wrk.method = "POST"
  wrk.path = "/google/login"
  wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
  wrk.body = ""
  redirects = 0
  others = 0
  cookies = 0
  cookie = nil
end

function response(status, headers, body)
  if status >= 301 and status <= 303 and headers["Location"] ~= nil then
    redirects = redirects + 1
  else
    others = others + 1
  end
  if headers["Set-Cookie"] ~= nil then
    cookies = cookies + 1
    cookie = headers["Set-Cookie"]
  end
end

function done(summary, latency, requests)
  local r, o, c = 0, 0, 0
  for _, t in ipairs(threads) do
    r = r + t:get("redirects")
    o = o + t:get("others")
    c = c + t:get("cookies")
  end
  io.write(string.format("redirects %d other %d new-sessions %d\n", r, o, c))
  io.write(string.format("p50_ms %.3f p99_ms %.3f rps %.1f\n", latency:percentile(50) / 1000,
                         latency:percentile(99) / 1000,
                         summary.requests / (summary.duration / 1e6)))
end
