-- The demo's serial monitor page: pick a port that ports() lists (or type a
-- path, such as one end of a socat pty pair), choose the line settings, open
-- it, watch what arrives as text and hex, and send typed lines.
--
-- build(parent) makes the page's widgets under parent; the demo's
-- MsgHandler hands every message to message(handle, name, ...), which
-- answers the ones that belong to this page and ignores the rest.
local qt = require "qt.core"
local serial = require "serial.core"

local M = {}

local KEY_RETURN, KEY_ENTER = 0x01000004, 0x01000005

-- Line settings a field device is likely to use; the first is the host's
-- own default. Each is {label, baud, data bits, parity, stop bits}.
local LINES = {
  {"38400 8O1", 38400, 8, "odd", 1},
  {"9600 8N1", 9600, 8, "none", 1},
  {"9600 8E1", 9600, 8, "even", 1},   -- Modbus RTU's default
  {"19200 8E1", 19200, 8, "even", 1},
  {"115200 8N1", 115200, 8, "none", 1},
}

local buttons = {}   -- PushButton handle -> {label = text, action = function}
local page = {}      -- widgets and the port of the page

local function say(text)
  page.log:append(text)
end

local function button(parent, label, x, y, w, action)
  local b = qt.PushButton.create(parent)
  b:setGeometry(x, y, w, 32)
  b:show()
  buttons[b] = {label = label, action = action}
  return b
end

local function paintButton(b)
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x004682B4, "button", b:state()) -- steel blue
  lcdCanvas:text(10, (h - 16) // 2, buttons[b].label, 16, 0x00FFFFFF)
end

-- Bytes as the monitor shows them: printable ASCII as is, the rest as dots,
-- and every byte again in hex.
local function printable(bytes)
  return (bytes:gsub("[^\32-\126]", "."))
end

local function hex(bytes)
  return (bytes:gsub(".", function(c) return string.format("%02X ", c:byte()) end))
end

local function showArrival(bytes)
  -- Long bursts are shown in rows of 16 bytes.
  for i = 1, #bytes, 16 do
    local row = bytes:sub(i, i + 15)
    say(string.format("<< %-16s  %s", printable(row), hex(row)))
  end
end

-- Port ------------------------------------------------------------------------

local function nextPort()
  local list = {serial.ports()}
  if #list == 0 then
    page.status:setText("No serial ports found; type a path, e.g. a pty from socat")
    return
  end
  page.pick = page.pick % #list + 1
  page.name:setText(list[page.pick])
  page.status:setText(string.format("Port %d of %d", page.pick, #list))
end

local function openPort()
  local name = page.name:text()
  if name == "" then
    page.status:setText("Type a port name or path first")
    return
  end
  page.port:open(name)
  page.open = name
  -- open() only asks: a failure comes later as onError.
  page.status:setText("Opening " .. name .. " (" .. LINES[page.line][1] .. ")")
end

-- Takes effect at once on an open line, and at every open.
local function nextLine(b)
  page.line = page.line % #LINES + 1
  local l = LINES[page.line]
  page.port:setLine(l[2], l[3], l[4], l[5], "none")
  buttons[b].label = l[1]
  b:update()
  page.status:setText("Line " .. l[1] .. (page.open and (" on " .. page.open) or ", used at the next open"))
end

local function closePort()
  page.port:close()
  page.status:setText(page.open and ("Closed " .. page.open) or "Closed")
  page.open = nil
end

local function sendLine()
  local text = page.input:text()
  if not page.open then
    page.status:setText("Open a port first")
    return
  end
  page.port:write(text .. "\n")
  say(">> " .. text)
  page.input:setText("")
end

local function portMessage(name)
  if name == "onReadyRead" then
    showArrival(page.port:read())
  elseif name == "onError" then
    local why = page.port:errorString()
    page.status:setText("Error on " .. (page.open or "the port") .. ": " .. why .. "; open it again when it is back")
    say("-- error: " .. why)
  end
end

-- Page ------------------------------------------------------------------------

function M.build(parent)
  local _, _, width, height = parent:geometry()
  width = math.max(width, 560)
  height = math.max(height, 360)

  page.name = qt.QLineEdit.create(parent)
  page.name:setGeometry(10, 10, width - 390, 32)
  page.name:show()
  button(parent, "Next port", width - 370, 10, 120, nextPort)
  button(parent, "Open", width - 240, 10, 110, openPort)
  button(parent, "Close", width - 120, 10, 110, closePort)

  page.status = qt.QLineEdit.create(parent)
  page.status:setGeometry(10, 50, width - 20, 28)
  page.status:show()

  page.log = qt.QPlainTextEdit.create(parent)
  page.log:setGeometry(10, 86, width - 20, height - 140)
  page.log:show()

  page.input = qt.QLineEdit.create(parent)
  page.input:setGeometry(10, height - 44, width - 270, 32)
  page.input:show()
  button(parent, "Send", width - 120, height - 44, 110, sendLine)
  page.line = 1
  button(parent, LINES[1][1], width - 250, height - 44, 120, nextLine)

  page.pick = 0
  page.port = serial.SerialPort.create()
  -- Listing ports walks the system's device tree: done on request, not at start-up.
  page.status:setText("Press Next port to list serial ports, or type a path")
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
  elseif handle == page.port then
    portMessage(name)
  elseif handle == page.input and name == "onKeyPress" then
    local _, _, code = ...
    if code == KEY_RETURN or code == KEY_ENTER then sendLine() end
  end
end

return M
