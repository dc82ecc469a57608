-- Counts answers that are not 200 or whose body is not the expected size.
-- Usage: wrk ... -s bodies.lua URL -- EXPECTED_BYTES
local threads = {}

function setup(thread)
   table.insert(threads, thread)
end

function init(args)
   bad = 0
   expected = tonumber(args[1])
end

function response(status, headers, body)
   if status ~= 200 or #body ~= expected then
      bad = bad + 1
   end
end

function done(summary, latency, requests)
   local total = 0
   for _, thread in ipairs(threads) do
      total = total + thread:get("bad")
   end
   local e = summary.errors
   io.write(string.format("requests=%d bad_bodies=%d connect=%d read=%d write=%d timeout=%d status=%d\n",
      summary.requests, total, e.connect, e.read, e.write, e.timeout, e.status))
end
