-- Start-up on Windows: the globals, a module from modules/, a native module
-- through "?.dll", and errors raised in lua53.dll, in a native module and in
-- a host method, each caught by the script.
local qt = require "qt.core"
local helper = require "whelper"

function MsgHandler(handle, message)
  if message == "onStartup" then
    print("file", applicationFileName, _APP_FILENAME)
    print("path", _APP_PATH)
    print("helper", helper.answer)
    local ok, native = pcall(require, "orvnative")
    print("native", ok and native.add(2, 3) or native)
    if ok then
      print("native error", select(2, pcall(native.fail)))
    end
    print("host error", select(2, pcall(qt.QWidget.show, 42)))
    print("lua error", select(2, pcall(error, { "a table" })) ~= nil)
    mainWindow:close()
  end
end
