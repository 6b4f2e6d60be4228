-- Soak driver: runs the demo and works it from timers as a user would, for
-- SOAK_SECONDS, then closes the window. It watches what the demo creates so
-- it can press the demo's own buttons: every call below goes through the
-- demo's MsgHandler exactly as a real click would.
local qt = require "qt.core"

local seconds = tonumber(os.getenv("SOAK_SECONDS")) or 600
local pty = os.getenv("SOAK_PTY")

local nav = {}         -- page id -> navigation button
local panels = {}      -- panel handle -> page id
local buttons = {}     -- page id -> buttons in creation order
local edits = {}       -- page id -> line edits in creation order
local order = {}       -- page ids in navigation order
local logs = {}        -- page id -> text logs in creation order

local function recordUnder(list, parent, handle)
  local id = parent and panels[parent]
  if id then
    list[id] = list[id] or {}
    table.insert(list[id], handle)
  end
end

-- The demo names its navigation buttons "nav.ID" and its pages "page.ID".
local function wrapSetName(class)
  local setName = class.setName
  class.setName = function(self, name, ...)
    local kind, id = tostring(name):match("^(%a+)%.(.+)$")
    if kind == "nav" then nav[id] = self; order[#order + 1] = id end
    if kind == "page" then panels[self] = id end
    return setName(self, name, ...)
  end
end
-- Every class that has its own copy of setName (QWidget.create, for one,
-- hands out handles of a derived class).
for _, class in pairs(qt) do
  if type(class) == "table" and rawget(class, "setName") then wrapSetName(class) end
end

local function wrapCreate(class, list)
  local create = class.create
  class.create = function(parent, ...)
    local handle = create(parent, ...)
    recordUnder(list, parent, handle)
    return handle
  end
end
wrapCreate(qt.PushButton, buttons)
wrapCreate(qt.QLineEdit, edits)
wrapCreate(qt.QPlainTextEdit, logs)

require "demo"
local demoHandler = MsgHandler

local function click(handle)
  if handle then demoHandler(handle, "onClick") end
end

local function pageButton(id, n)
  return buttons[id] and buttons[id][n]
end

local stats = {switches = 0, pings = 0, sends = 0}
local timers = {}
local function every(ms, f)
  local t = qt.Timer.create()
  t:setTimeout(ms)
  t.onTimeout = f
  t:start()
  timers[#timers + 1] = t
end

local function drive()
  -- Network page: connect the client, switch automatic pings on, and ping
  -- on top of that; the buttons are Connect, Ping, Auto, Start, Stop, Reset.
  click(pageButton("network", 1))
  click(pageButton("network", 3))
  click(pageButton("network", 4))
  -- Serial page: the port name goes into its first line edit, then Open.
  if pty and edits.serial then
    edits.serial[1]:setText(pty)
    click(pageButton("serial", 2))
  end

  local step = 0
  every(250, function()
    step = step + 1
    click(nav[order[step % #order + 1]])
    stats.switches = stats.switches + 1
  end)
  every(40, function()
    click(pageButton("network", 2))
    stats.pings = stats.pings + 1
  end)
  every(100, function()
    local input = edits.serial and edits.serial[#edits.serial]
    if pty and input then
      input:setText("soak " .. stats.sends)
      click(pageButton("serial", 4))
      stats.sends = stats.sends + 1
    end
  end)
  -- The pages log every ping and every arrival without limit; cleared now
  -- and then, as a user would, so that what the memory figures show is
  -- the host's own use and not the logs' growing text.
  every(5000, function()
    for _, list in pairs(logs) do
      for _, log in ipairs(list) do log:clear() end
    end
  end)
  -- The stopwatch: start, stop and reset now and then.
  every(700, function() click(pageButton("network", 4 + stats.switches % 3)) end)
  local stop = qt.Timer.create()
  stop:setTimeout(seconds * 1000)
  stop:setSingleShot()
  stop.onTimeout = function() mainWindow:close() end
  stop:start()
  timers[#timers + 1] = stop
end

function MsgHandler(handle, name, ...)
  local result = demoHandler(handle, name, ...)
  if name == "onStartup" then
    drive()
    local found = {}
    for _, id in ipairs(order) do
      found[#found + 1] = string.format("%s %d/%d", id, buttons[id] and #buttons[id] or 0, edits[id] and #edits[id] or 0)
    end
    print("soak: driving " .. #order .. " pages for " .. seconds .. " s (buttons/line edits: "
      .. table.concat(found, ", ") .. ")")
  elseif name == "onShutdown" then
    print(string.format("soak: %d page switches, %d pings, %d serial lines sent",
      stats.switches, stats.pings, stats.sends))
  end
  return result
end
