-- wrk script for the sign-in redirect as a browser makes it: it loads the page without a cookie
-- (a new session: its cookie, and the sign-in form's token when the server uses one), then
-- POSTs the sign-in button (/google/login) with them, and the server calls Login and answers
-- with the redirect to the provider. wrk runs one Lua state per thread, not per connection, so
-- each thread keeps a queue of loaded pages; the cookie travels in the request, so any
-- connection can carry any page's POST.
--
-- Reported: redirects (301 to 303 with a Location) per second, the pages that set a session
-- cookie, replies that are neither (counted, the last one printed), and every request's p50 and
-- p99 (pages and sign-ins alike).

local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  page = wrk.format("GET", "/")
  pages = { first = 1, last = 0 }
  redirects = 0
  sessions = 0
  others = 0
  last_other = ""
end

function request()
  if pages.first <= pages.last then
    local p = pages[pages.first]
    pages[pages.first] = nil
    pages.first = pages.first + 1
    return wrk.format("POST", "/google/login",
                      { ["Content-Type"] = "application/x-www-form-urlencoded", Cookie = p.cookie },
                      p.token ~= "" and ("zelk_form_token=" .. p.token) or "")
  end
  return page
end

function response(status, headers, body)
  if status >= 301 and status <= 303 and headers["Location"] ~= nil then
    redirects = redirects + 1
    return
  end
  local c = headers["Set-Cookie"]
  if status == 200 and c ~= nil then
    sessions = sessions + 1
    pages.last = pages.last + 1
    pages[pages.last] = {
      cookie = c:match("^([^;]*)"),
      token = body:match('name="zelk_form_token" value="([^"]*)"') or "",
    }
    return
  end
  others = others + 1
  last_other = status .. " " .. (headers["Location"] or body:sub(1, 80))
end

function done(summary, latency, requests)
  local r, s, o, last = 0, 0, 0, ""
  for _, t in ipairs(threads) do
    r = r + t:get("redirects")
    s = s + t:get("sessions")
    o = o + t:get("others")
    if t:get("others") > 0 then last = t:get("last_other") end
  end
  io.write(string.format("redirects %d other %d new-sessions %d\n", r, o, s))
  if o > 0 then io.write("last other reply: " .. last .. "\n") end
  io.write(string.format("p50_ms %.3f p99_ms %.3f rps %.1f\n", latency:percentile(50) / 1000,
                         latency:percentile(99) / 1000, r / (summary.duration / 1e6)))
end
