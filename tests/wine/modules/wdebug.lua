-- debugString goes to the debugger channel, not to standard output.
local qt = require "qt.core"

function MsgHandler(handle, message)
  if message == "onStartup" then
    qt.debugString("orvane debug channel\n")
    mainWindow:close()
  end
end
