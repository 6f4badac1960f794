-- PROPPATCH setting one dead property of the path given as the first argument.
local n = 0
init = function(args) path = args[1] end
request = function()
  n = n + 1
  return wrk.format("PROPPATCH", path, {["Content-Type"] = "application/xml"},
    '<?xml version="1.0"?><D:propertyupdate xmlns:D="DAV:" xmlns:b="urn:bench"><D:set><D:prop>' ..
    '<b:counter>' .. n .. '</b:counter></D:prop></D:set></D:propertyupdate>')
end
