-- PUT of a 4 KiB body; each wrk thread writes its own documents, round robin over 16 names.
local body = string.rep("k", 4096)
local n = 0
local counter = 0
setup = function(thread)
  counter = counter + 1
  thread:set("id", counter)
end
init = function(args) prefix = args[1] or "/bench" end
request = function()
  n = (n + 1) % 16
  return wrk.format("PUT", prefix .. "/put-" .. id .. "-" .. n .. ".bin", nil, body)
end
