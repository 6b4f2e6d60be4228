-- The demo's widgets page: a log of every message the page receives, a line
-- edit driven by script buttons, a modal confirmation dialog, and two tiles
-- that can be dragged onto each other.
--
-- build(parent) makes the page's widgets under parent; the demo's
-- MsgHandler hands every message to message(handle, name, ...), which
-- answers the ones that belong to this page and ignores the rest.
local qt = require "qt.core"

local M = {}

local page = {}      -- the page's widgets
local buttons = {}   -- PushButton handle -> {label = text, action = function}
local tiles = {}     -- drag tile handle -> {label = text, colour = number, hot = bool}
local names = {}     -- handle -> short name for the log

-- The log view lists messages, not paints: those come many times a second.
-- It starts listening when the page is first shown, so it does not open
-- full of the moves and resizes of the page's own building.
local unlogged = {onPaint = true}
local listening = false

local function describe(v)
  if type(v) == "userdata" then return names[v] or "?" end
  return tostring(v)
end

local function log(text)
  if page.log then page.log:append(text) end
end

local function button(parent, label, x, y, w, action)
  local b = qt.PushButton.create(parent)
  b:setGeometry(x, y, w, 32)
  b:show()
  buttons[b] = {label = label, action = action}
  names[b] = label
  return b
end

local function paintButton(b)
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x00336699, "button", b:state())
  lcdCanvas:text(8, (h - 14) // 2, buttons[b].label, 14, 0x00FFFFFF)
end

local function paintTile(t)
  local w, h = lcdCanvas:size()
  local tile = tiles[t]
  lcdCanvas:fill(0, 0, w, h, tile.hot and 0x00FFD700 or tile.colour)
  lcdCanvas:box(0, 0, w, h, "black")
  lcdCanvas:text(8, 8, tile.label, 14, "black")
  if tile.count then
    lcdCanvas:text(8, h - 24, "drops: " .. tile.count, 12, "black")
  end
end

-- Confirmation dialog -------------------------------------------------------

-- A modal dialog with Yes and No. Its handle is dead once exec returns (the
-- dialog deletes itself on close), so the answer is carried out here.
local function confirm(question)
  local d = qt.QDialog.create(page.root)
  d:setTitle("Confirm")
  d:setGeometry(0, 0, 260, 110)
  local text = qt.QLineEdit.create(d)
  text:setGeometry(10, 10, 240, 28)
  text:setText(question)
  text:setEnabled(false)
  local yes = button(d, "Yes", 10, 60, 110, function() d:done(1) end)
  local no = button(d, "No", 140, 60, 110, function() d:done(0) end)
  names[d] = "dialog"
  local answer = d:exec() == 1
  -- The dialog took its buttons with it.
  buttons[yes], buttons[no] = nil, nil
  return answer
end

-- Page ----------------------------------------------------------------------

function M.build(parent)
  page.root = qt.Widget.create(parent)
  page.root:setGeometry(0, 0, 480, 400)
  names[page.root] = "page"

  page.log = qt.QPlainTextEdit.create(page.root)
  page.log:setGeometry(10, 10, 460, 150)
  names[page.log] = "log"

  page.edit = qt.QLineEdit.create(page.root)
  page.edit:setGeometry(10, 170, 300, 30)
  page.edit:setAlignment("center")
  page.edit:setMaxLength(20)
  page.edit:setText("type here")
  names[page.edit] = "edit"

  button(page.root, "<", 320, 170, 30, function() page.edit:cursorMove(-1) end)
  button(page.root, ">", 355, 170, 30, function() page.edit:cursorMove(1) end)
  button(page.root, "Del", 390, 170, 80, function() page.edit:backspace() end)

  button(page.root, "Clear log...", 10, 210, 140, function()
    if confirm("Clear the log?") then
      page.log:clear()
      log("log cleared")
    else
      log("kept the log")
    end
  end)
  button(page.root, "Say it", 160, 210, 140, function()
    page.root:msgBox("The line reads: " .. page.edit:text())
  end)

  -- Two tiles: press one and drag it onto the other.
  for i, def in ipairs({{"Tile A", 0x0090EE90}, {"Tile B", 0x0087CEFA}}) do
    local t = qt.Widget.create(page.root)
    t:setGeometry(10 + (i - 1) * 240, 260, 220, 120)
    t:setAcceptDrops(true)
    tiles[t] = {label = def[1], colour = def[2], count = 0}
    names[t] = def[1]
  end

  page.root:show()
  for b in pairs(buttons) do b:show() end
  for t in pairs(tiles) do t:show() end
  page.log:show()
  page.edit:show()
  return page.root
end

-- Returns true for messages whose answer consumes the event, as MsgHandler
-- must; the demo returns this page's answer for its own widgets.
function M.shown()
  if listening then return end
  listening = true
  log("Every message this page's widgets get is listed here.")
end

function M.message(handle, name, ...)
  if listening and not unlogged[name] and (names[handle] or handle == nil) then
    local parts = {describe(handle), name}
    for i = 1, select("#", ...) do parts[#parts + 1] = describe((select(i, ...))) end
    log(table.concat(parts, " "))
  end

  if buttons[handle] then
    if name == "onPaint" then paintButton(handle)
    elseif name == "onClick" then buttons[handle].action()
    end
    return
  end

  local tile = tiles[handle]
  if tile then
    if name == "onPaint" then
      paintTile(handle)
    elseif name == "onTouchPress" then
      -- The drag's own loop runs until the drop: this returns afterwards.
      handle:dragDrop()
      return true
    elseif name == "onDragEnter" then
      tile.hot = true
      handle:update()
    elseif name == "onDragLeave" then
      tile.hot = false
      handle:update()
    elseif name == "onDrop" then
      tile.hot = false
      tile.count = tile.count + 1
      log(tile.label .. " got a drop from " .. describe(...))
      handle:update()
    end
  end
end

return M
