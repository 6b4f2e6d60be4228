-- An echo server written the way a script author would: read all on
-- onReadyRead and write it back.
local qt = require "qt.core"
local server
local clients = {}

function MsgHandler(handle, message)
  if message == "onStartup" then
    server = qt.TcpServer.create("127.0.0.1", 0)
    print("port", server:port())
  elseif message == "onNewConnection" then
    local socket = handle:socket()
    while socket do
      clients[socket] = true
      socket = handle:socket()
    end
  elseif message == "onReadyRead" and clients[handle] then
    handle:write(handle:read())
  elseif message == "onDisconnected" then
    clients[handle] = nil
  end
end
