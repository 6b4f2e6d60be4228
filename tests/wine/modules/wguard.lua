-- Stays up until it is killed: the first copy for the single-instance tests.
local qt = require "qt.core"

function MsgHandler(handle, message)
  if message == "onStartup" then
    print("running")
  end
end
