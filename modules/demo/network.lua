-- The demo's network page: an echo server on loopback that holds back a
-- client not reading its echoes, a client that measures round trips to it,
-- and a stopwatch.
--
-- build(parent) makes the page's widgets under parent; the demo's
-- MsgHandler hands every message to message(handle, name, ...), which
-- answers the ones that belong to this page and ignores the rest.
local qt = require "qt.core"

local M = {}

local buttons = {}   -- PushButton handle -> {label = text, action = function}
local echoes = {}    -- accepted sockets of the echo server
local sent = {}      -- ping number -> ElapsedTimer started when it was written
local inbox = ""     -- client bytes not yet forming a whole line
local page = {}      -- widgets and objects of the page

local function say(text)
  page.log:append(text)
end

local function button(parent, label, x, y, action)
  local b = qt.PushButton.create(parent)
  b:setGeometry(x, y, 110, 36)
  b:show()
  buttons[b] = {label = label, action = action}
  return b
end

local function paintButton(b)
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x004682B4, "button", b:state()) -- steel blue
  local label = buttons[b].label
  lcdCanvas:text(10, (h - 16) // 2, label, 16, 0x00FFFFFF)
end

-- Stopwatch ---------------------------------------------------------------

local function showTime(ms)
  local minutes = ms // 60000
  local seconds = (ms // 1000) % 60
  local hundredths = (ms // 10) % 100
  page.clock:setText(string.format("%02d:%02d.%02d", minutes, seconds, hundredths))
end

local function startWatch()
  if page.running then return end
  if page.watch:isActive() then
    -- Resume: keep what was already measured.
    page.offset = page.shown
  end
  page.watch:start()
  page.running = true
  page.tick:start()
end

local function stopWatch()
  if not page.running then return end
  page.tick:stop()
  page.running = false
  page.shown = page.offset + page.watch:elapsed()
  showTime(page.shown)
end

local function resetWatch()
  page.tick:stop()
  page.running = false
  page.watch:cancel()
  page.offset, page.shown = 0, 0
  showTime(0)
end

-- Echo server and client ----------------------------------------------------

local function startServer()
  page.server = qt.TcpServer.create("127.0.0.1", 0)
  local port = page.server:port()
  if port == 0 then
    page.status:setText("Echo server could not listen on 127.0.0.1")
  else
    page.status:setText(string.format("Echo server on %s:%d", page.server:address(), port))
  end
end

local function connectClient()
  if page.client then
    page.client:destroy()
    page.client = nil
  end
  inbox = ""
  sent = {}
  page.client = qt.TcpSocket.create()
  page.client:connect("127.0.0.1", page.server:port())
  say("Connecting to 127.0.0.1:" .. page.server:port())
end

local function ping()
  if not page.connected then
    say("Not connected")
    return
  end
  page.seq = page.seq + 1
  local stopwatch = qt.ElapsedTimer.create()
  sent[page.seq] = stopwatch
  page.client:write(page.seq .. " " .. string.rep("x", 48) .. "\n")
end

local function toggleAutoPing(b)
  page.auto = not page.auto
  buttons[b].label = page.auto and "Auto: on" or "Auto: off"
  b:draw()
  if page.auto then page.pinger:start() else page.pinger:stop() end
end

local function clientRead()
  inbox = inbox .. page.client:read()
  for line in inbox:gmatch("([^\n]*)\n") do
    local seq = tonumber(line:match("^(%d+)"))
    local stopwatch = seq and sent[seq]
    if stopwatch then
      sent[seq] = nil
      say(string.format("ping %d: %.3f ms", seq, stopwatch:restart() * 1000))
    end
  end
  inbox = inbox:match("[^\n]*$")
end

-- Back-pressure: echoes wait in the host only up to ECHO_QUEUE bytes; beyond
-- that the server stops reading the client until it reads its echoes, and
-- TCP holds it back.
local ECHO_QUEUE = 64 * 1024

local function echo(s)
  if s:bytesToWrite() < ECHO_QUEUE then s:write(s:read()) end
end

local function serverMessage(name)
  if name == "onNewConnection" then
    while true do
      local s = page.server:socket()
      if not s then break end
      echoes[s] = true
      s:setReadLimit(ECHO_QUEUE)
      local address, port = s:peer()
      say("Server: connection from " .. address .. ":" .. port)
    end
  end
end

local function echoMessage(s, name, ...)
  if name == "onReadyRead" or name == "onBytesWritten" then
    echo(s)
  elseif name == "onDisconnected" then
    echoes[s] = nil
    s:destroy()
  elseif name == "onError" then
    say("Server side: " .. ...)
  end
end

local function clientMessage(name, ...)
  if name == "onConnected" then
    page.connected = true
    say("Connected")
  elseif name == "onReadyRead" then
    clientRead()
  elseif name == "onDisconnected" then
    page.connected = false
    say("Disconnected")
  elseif name == "onError" then
    page.connected = false
    say("Client error: " .. ...)
  end
end

-- Page ------------------------------------------------------------------------

function M.build(parent)
  local _, _, width = parent:geometry()
  width = math.max(width, 480)

  page.status = qt.QLineEdit.create(parent)
  page.status:setGeometry(10, 10, width - 20, 28)
  page.status:show()

  button(parent, "Connect", 10, 50, connectClient)
  button(parent, "Ping", 130, 50, ping)
  page.autoButton = button(parent, "Auto: off", 250, 50, toggleAutoPing)

  page.log = qt.QPlainTextEdit.create(parent)
  page.log:setGeometry(10, 96, width - 20, 200)
  page.log:show()

  page.clock = qt.QLineEdit.create(parent)
  page.clock:setGeometry(10, 310, 220, 48)
  page.clock:setAlignment("center")
  local font = qt.QFont.create()
  font:setFont(32, "bold")
  page.clock:setFont(font)
  page.clock:show()

  button(parent, "Start", 240, 316, startWatch)
  button(parent, "Stop", 360, 316, stopWatch)
  button(parent, "Reset", 240, 360, resetWatch)

  -- The stopwatch measures with an ElapsedTimer; the Timer only redraws.
  page.watch = qt.ElapsedTimer.create()
  page.tick = qt.Timer.create()
  page.tick:setTimeout(30)
  page.tick.onTimeout = function()
    page.shown = page.offset + (page.watch:elapsed() or 0)
    showTime(page.shown)
  end
  resetWatch()

  page.pinger = qt.Timer.create()
  page.pinger:setTimeout(1000)
  page.pinger.onTimeout = ping

  page.seq = 0
  page.connected = false
  page.auto = false
  startServer()
end

function M.message(handle, name, ...)
  if handle == nil then
    return
  end
  local b = buttons[handle]
  if b then
    if name == "onPaint" then
      paintButton(handle)
    elseif name == "onClick" then
      b.action(handle)
    end
  elseif handle == page.server then
    serverMessage(name)
  elseif echoes[handle] then
    echoMessage(handle, name, ...)
  elseif handle == page.client then
    clientMessage(name, ...)
  end
end

return M
