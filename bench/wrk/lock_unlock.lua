-- LOCK then UNLOCK of one document per wrk thread (run with as many threads as connections, so
-- that every connection has its own token). Counts pairs as two requests.
local token = nil
local counter = 0
setup = function(thread)
  counter = counter + 1
  thread:set("id", counter)
end
init = function(args) prefix = args[1] or "/bench/locks" end
request = function()
  local path = prefix .. "/doc-" .. id .. ".txt"
  if token then
    local t = token
    token = nil
    return wrk.format("UNLOCK", path, {["Lock-Token"] = "<" .. t .. ">"})
  end
  return wrk.format("LOCK", path, {["Content-Type"] = "application/xml", ["Timeout"] = "Second-60"},
    '<?xml version="1.0"?><D:lockinfo xmlns:D="DAV:"><D:lockscope><D:exclusive/></D:lockscope>' ..
    '<D:locktype><D:write/></D:locktype><D:owner>bench</D:owner></D:lockinfo>')
end
response = function(status, headers, body)
  local t = headers["Lock-Token"]
  if t then token = string.match(t, "<(.*)>") end
end
