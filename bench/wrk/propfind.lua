-- PROPFIND allprop of the path given as the first script argument, with the Depth of the second.
init = function(args)
  path = args[1]
  depth = args[2] or "0"
end
request = function()
  return wrk.format("PROPFIND", path, {["Depth"] = depth, ["Content-Type"] = "application/xml"},
    '<?xml version="1.0"?><D:propfind xmlns:D="DAV:"><D:allprop/></D:propfind>')
end
