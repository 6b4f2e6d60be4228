-- Discovery where the system offers none (wine's dnsapi): every call fails
-- with error 1, nothing hangs, the script goes on.
local qt = require "bonjour.core"
local core = require "qt.core"
local bonjour

function MsgHandler(handle, message)
  if message == "onStartup" then
    bonjour = qt.Bonjour.create()
    bonjour:publish("_wtest._tcp", "wine test", 4242)
    bonjour:subscribe("_wtest._tcp")
    bonjour:resolve("_wtest._tcp", "wine test")
    print("machine", qt.machineID() ~= nil)
    local t = core.Timer.create()
    t:setTimeout(1500)
    t:setSingleShot()
    t.onTimeout = function() print("still running"); mainWindow:close() end
    t:start()
  end
end
