-- The demo's styles page: the host's whole look in one place.
--   * a gallery of every named style in its normal, down and disabled state;
--   * a touch keypad of PushButtons whose faces follow state();
--   * a seven-segment clock in the "DSEG7 Classic" family;
--   * icons from our own sprite sheet and the logo file, drawn with graphic.
--
-- build(parent) makes the page's widgets under parent; message(handle, name,
-- ...) answers onPaint and onClick for this page's own widgets and returns
-- nil for everything else. Graphics are found relative to the working
-- directory, which is the project root when the demo runs.
local qt = require "qt.core"

local M = {}

local STYLES = {
  "", "panel", "panel.flat", "panel.gradient",
  "button", "button.flat", "button.cell", "button.highlight",
  "button.compact", "button.selected", "button.warning", "msgbox.panel",
  "cell.panel", "timecode", "textbox", "gradient",
}
local STATES = {"", "down", "disabled"}
local ICONS = {"home", "clock", "network", "gear", "play", "stop", "power", "check", "warning"}
local FACE = 0x00305878

local page = {}      -- the page's plain widgets, by role
local keys = {}      -- keypad PushButton handle -> its label
local entered = ""   -- what the keypad has typed
local fonts = {}

local function font(...)
  local f = qt.QFont.create()
  f:setFont(...)
  return f
end

-- Text centred in the w x h box at (x, y), in the painter's current font
-- (measured with the same font handle).
local function centred(f, x, y, w, h, text, colour)
  local tw, th = f:textBounds(text)
  lcdCanvas:setFont(f)
  lcdCanvas:text(x + (w - tw) // 2, y + (h - th) // 2, text, nil, colour)
end

-- Painters ------------------------------------------------------------------

local function paintGallery()
  local w, h = lcdCanvas:size()
  lcdCanvas:fill(0, 0, w, h, 0x00202428)
  local cw, ch = w // 4, 50
  for i, style in ipairs(STYLES) do
    local col, row = (i - 1) % 4, (i - 1) // 4
    local x, y = col * cw + 6, row * ch + 4
    lcdCanvas:setFont(fonts.small)
    lcdCanvas:text(x, y, style == "" and "(empty)" or style, nil, "lightgray")
    for j, state in ipairs(STATES) do
      lcdCanvas:gradient(x + (j - 1) * 54, y + 16, 50, 28, FACE, style, state)
    end
  end
end

local function paintKey(b)
  local w, h = lcdCanvas:size()
  local label = keys[b]
  local style = label == "OK" and "button.selected" or label == "C" and "button.warning" or "button"
  lcdCanvas:gradient(0, 0, w, h, FACE, style, b:state())
  if label == "<" then
    lcdCanvas:graphic("backspace", {x = (w - 22) // 2, y = (h - 22) // 2, w = 22, h = 22})
  else
    centred(fonts.key, 0, 0, w, h, label, b:state() == "disabled" and "lightgray" or "white")
  end
end

local function paintClock()
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, "black", "timecode")
  local now = os.date("*t")
  local text = string.format("%02d:%02d:%02d", now.hour, now.min, now.sec)
  -- The unlit segments behind the lit ones, as on a real display.
  centred(fonts.clock, 0, 0, w, h, "88:88:88", 0x00203020)
  centred(fonts.clock, 0, 0, w, h, text, 0x0030FF60)
end

local function paintEntry()
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x00F4F4F0, "textbox")
  lcdCanvas:box(0, 0, w, h, "darkGray")
  lcdCanvas:setFont(fonts.entry)
  lcdCanvas:text(10, (h - 24) // 2, entered == "" and "-" or entered, nil, "black")
end

local function paintIcons()
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x001E2230, "panel.gradient")
  local size = 30
  local y = (h - size) // 2
  for i, name in ipairs(ICONS) do
    local x = 16 + (i - 1) * (size + 14)
    lcdCanvas:gradient(x - 5, y - 5, size + 10, size + 10, FACE, "cell.panel")
    lcdCanvas:graphic(name, {x = x, y = y, w = size, h = size})
  end
  -- The logo has a file of its own.
  lcdCanvas:graphic("logo", {x = w - 12 - 64, y = (h - 64) // 2, w = 64, h = 64})
end

local painters = {}

-- Page ----------------------------------------------------------------------

local function area(parent, x, y, w, h, paint)
  local v = qt.Widget.create(parent)
  v:setGeometry(x, y, w, h)
  painters[v] = paint
  v:show()
  return v
end

function M.build(parent)
  fonts.small = font("DejaVu Sans", 11)
  fonts.key = font("DejaVu Sans", "bold", 18)
  fonts.entry = font("DejaVu Sans Mono", 22)
  -- The host installs the seven-segment face with its other fonts.
  fonts.clock = font("DSEG7 Classic", 40)

  page.root = qt.Widget.create(parent)
  page.root:setGeometry(0, 0, 687, 420)
  painters[page.root] = function()
    local w, h = lcdCanvas:size()
    lcdCanvas:fill(0, 0, w, h, 0x00181B1F)
  end

  page.gallery = area(page.root, 0, 0, 687, 204, paintGallery)

  local labels = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "C", "0", "<", "OK", ".", "#"}
  for i, label in ipairs(labels) do
    local b = qt.PushButton.create(page.root)
    local col, row = (i - 1) % 3, (i - 1) // 3
    b:setGeometry(8 + col * 58, 208 + row * 42, 54, 38)
    keys[b] = label
    b:show()
  end
  -- Keys without a meaning yet show the disabled face.
  for b, label in pairs(keys) do
    if label == "." or label == "#" then b:setEnabled(false) end
  end

  page.clock = area(page.root, 190, 212, 300, 80, paintClock)
  page.entry = area(page.root, 500, 212, 180, 80, paintEntry)
  page.icons = area(page.root, 190, 300, 490, 112, paintIcons)

  page.tick = qt.Timer.create()
  page.tick:setTimeout(1000)
  page.tick.onTimeout = function() page.clock:update() end
  page.tick:start()

  page.root:show()
  return page.root
end

local function press(label)
  if label == "C" then
    entered = ""
  elseif label == "<" then
    entered = entered:sub(1, -2)
  elseif label == "OK" then
    print("demo: keypad entered " .. (entered == "" and "nothing" or entered))
    entered = ""
  elseif #entered < 10 then
    entered = entered .. label
  end
  page.entry:update()
end

function M.message(handle, name)
  if keys[handle] then
    if name == "onPaint" then
      paintKey(handle)
    elseif name == "onClick" then
      press(keys[handle])
    end
    return
  end
  local paint = painters[handle]
  if paint and name == "onPaint" then
    paint()
  end
  return nil
end

return M
