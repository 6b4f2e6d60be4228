-- The demo's discovery page: an echo server of its own, announced on the
-- local network as "_orvane-echo._tcp" with a TXT record that describes it;
-- a list of every echo service found (this one included); and a client that
-- resolves the chosen one to an address and port, shows its TXT record,
-- connects, and sends a line to be echoed.
--
-- build(parent) makes the page's widgets under parent; the demo's
-- MsgHandler hands every message to message(handle, name, ...), which
-- answers the ones that belong to this page and returns nil for the rest.
local qt = require "qt.core"

local M = {}

local TYPE = "_orvane-echo._tcp"

local buttons = {}   -- PushButton handle -> {label = text, action = function}
local echoes = {}    -- accepted sockets of the echo server
local found = {}     -- list of {name = ..., type = ..., domain = ...}, in order of arrival
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
  lcdCanvas:gradient(0, 0, w, h, 0x002E8B57, "button", b:state()) -- sea green
  lcdCanvas:text(10, (h - 16) // 2, buttons[b].label, 16, 0x00FFFFFF)
end

-- The list of found services -------------------------------------------------

local function showList()
  page.list:clear()
  if #found == 0 then
    page.list:append("(no echo services found yet)")
    return
  end
  for i, s in ipairs(found) do
    local mark = (i == page.selected) and "> " or "  "
    local own = (s.name == page.ownName) and "  [this demo]" or ""
    page.list:append(string.format("%s%d. %s (%s)%s", mark, i, s.name, s.domain, own))
  end
end

local function selectNext()
  if #found == 0 then
    say("Nothing to choose yet")
    return
  end
  page.selected = (page.selected or 0) % #found + 1
  showList()
end

local function serviceAdded(fullType, name, domain)
  for _, s in ipairs(found) do
    if s.name == name and s.domain == domain then return end
  end
  found[#found + 1] = {name = name, type = fullType, domain = domain}
  if not page.selected then page.selected = #found end
  say("Found " .. name)
  showList()
end

local function serviceRemoved(name)
  for i = #found, 1, -1 do
    if found[i].name == name then
      table.remove(found, i)
      say("Gone: " .. name)
    end
  end
  if page.selected and page.selected > #found then
    page.selected = #found > 0 and #found or nil
  end
  showList()
end

-- Echo server -------------------------------------------------------------------

local function startServer(bonjour)
  page.server = qt.TcpServer.create("127.0.0.1", 0)
  local port = page.server:port()
  if port == 0 then
    page.status:setText("Echo server could not listen on 127.0.0.1")
    return
  end
  page.ownName = "Orvane echo " .. port
  page.status:setText(string.format("Echo server on 127.0.0.1:%d, announced as \"%s\"", port, page.ownName))
  if bonjour then
    -- What a browser can know before it connects.
    page.bonjour:setTxt({app = "orvane demo", proto = "echo", framing = "lines", machine = page.machineID})
    page.bonjour:publish(TYPE, page.ownName, port)
    page.bonjour:subscribe(TYPE)
  end
end

-- Somebody else announces our name: take the next free-looking one.
local function nameConflict(name)
  page.renames = (page.renames or 1) + 1
  page.ownName = string.format("Orvane echo %d (%d)", page.server:port(), page.renames)
  say(string.format("\"%s\" is taken; announcing \"%s\"", name, page.ownName))
  page.status:setText(string.format("Echo server on 127.0.0.1:%d, announced as \"%s\"",
    page.server:port(), page.ownName))
  page.bonjour:publish(TYPE, page.ownName, page.server:port())
  showList()
end

local function describeTxt(txt)
  local parts = {}
  for k, v in pairs(txt) do parts[#parts + 1] = v == true and k or (k .. "=" .. v) end
  table.sort(parts)
  return #parts > 0 and table.concat(parts, ", ") or "(none)"
end

local function serverMessage(name)
  if name == "onNewConnection" then
    while true do
      local s = page.server:socket()
      if not s then break end
      echoes[s] = true
    end
  end
end

local function echoMessage(s, name)
  if name == "onReadyRead" then
    s:write(s:read())
  elseif name == "onDisconnected" then
    echoes[s] = nil
    s:destroy()
  end
end

-- Client ------------------------------------------------------------------------

local function resolveChosen()
  local s = page.selected and found[page.selected]
  if not s then
    say("Choose a service first")
    return
  end
  if not page.bonjour then return end
  page.pending = s.name
  page.port = nil
  say("Resolving " .. s.name)
  -- The three values exactly as onServiceAdded gave them.
  page.bonjour:resolve(s.type, s.name, s.domain)
end

local function connectTo(address, port)
  if page.client then
    page.client:destroy()
    page.client = nil
  end
  page.inbox = ""
  page.client = qt.TcpSocket.create()
  page.client:connect(address, port)
  say(string.format("Connecting to %s:%d", address, port))
end

local function send()
  if not page.connected then
    say("Not connected")
    return
  end
  page.sent = (page.sent or 0) + 1
  page.client:write("hello " .. page.sent .. "\n")
end

local function bonjourMessage(name, ...)
  if name == "onServiceAdded" then
    serviceAdded(...)
  elseif name == "onServiceRemoved" then
    serviceRemoved(...)
  elseif name == "onNameConflict" then
    nameConflict(...)
  elseif name == "onResolved" then
    local domainName, host, port = ...
    say(string.format("Resolved %s to %s port %d", domainName, host, port))
    say("TXT: " .. describeTxt(page.bonjour:txt()))
    page.port = port
  elseif name == "onLookup" then
    local host, address = ...
    say(string.format("%s is %s", host, address))
    if page.port then
      connectTo(address, page.port)
      page.port = nil
    end
  end
end

local function clientMessage(name, ...)
  if name == "onConnected" then
    page.connected = true
    say("Connected to " .. (page.pending or "?"))
    send()
  elseif name == "onReadyRead" then
    page.inbox = page.inbox .. page.client:read()
    for line in page.inbox:gmatch("([^\n]*)\n") do
      say("Echo: " .. line)
    end
    page.inbox = page.inbox:match("[^\n]*$")
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

  page.list = qt.QPlainTextEdit.create(parent)
  page.list:setGeometry(10, 46, width - 20, 120)
  page.list:show()

  button(parent, "Next", 10, 174, selectNext)
  button(parent, "Connect", 130, 174, resolveChosen)
  button(parent, "Send", 250, 174, send)

  page.log = qt.QPlainTextEdit.create(parent)
  page.log:setGeometry(10, 218, width - 20, 180)
  page.log:show()

  page.connected = false
  local ok, bonjour = pcall(require, "bonjour.core")
  if ok then
    page.bonjour = bonjour.Bonjour.create()
    local id = bonjour.machineID()
    page.machineID = id ~= "" and id or nil
    say("Machine id: " .. (id ~= "" and id or "(none)"))
  else
    say("Service discovery unavailable: " .. tostring(bonjour))
  end
  startServer(ok)
  showList()
end

-- Takes the page's network objects down: the announcement and the browser
-- go with the Bonjour object, the echo server with its connections.
function M.stop()
  if page.client then page.client:destroy(); page.client = nil end
  for s in pairs(echoes) do s:destroy(); echoes[s] = nil end
  if page.server then page.server:destroy(); page.server = nil end
  if page.bonjour then page.bonjour:destroy(); page.bonjour = nil end
  page.connected = false
end

-- For a script (or a test) that drives the page without touching it.
M.choose = function(i) page.selected = i; showList() end
M.connect = resolveChosen
M.found = found
M.state = page

function M.message(handle, name, ...)
  if handle == nil then
    return
  end
  if handle == page.bonjour then
    -- 100 ticks a second: nothing to do here, and nothing to answer.
    if name == "onTimer" then return end
    bonjourMessage(name, ...)
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
    echoMessage(handle, name)
  elseif handle == page.client then
    clientMessage(name, ...)
  end
end

return M
