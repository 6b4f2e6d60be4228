-- Echoes back whatever the COM port named by WSERIAL_PORT delivers.
local serial = require "serial.core"
local port

function MsgHandler(handle, message)
  if message == "onStartup" then
    print("ports", table.concat({ serial.ports() }, ","))
    port = serial.SerialPort.create()
    port:open(os.getenv("WSERIAL_PORT"))
    print("opened")
  elseif message == "onReadyRead" and handle == port then
    port:write(port:read())
  elseif message == "onError" then
    print("serial error")
  end
end
