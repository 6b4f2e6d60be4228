-- Orvane demo application: a touch-panel host for a few pages that each
-- show one area of the host. Every page is a module under demo/ with
-- build(parent) and message(handle, name, ...); this module owns the window,
-- the navigation bar and the one MsgHandler, and hands every message to the
-- pages in turn.
local qt = require "qt.core"

local W, H = 837, 420           -- the area below the window's status bar
local NAV = 150                 -- width of the navigation bar

local pages = {
  {id = "start",     title = "Welcome"},
  {id = "styles",    title = "Styles",    module = "demo.styles"},
  {id = "widgets",   title = "Widgets",   module = "demo.widgets"},
  {id = "network",   title = "Network",   module = "demo.network"},
  {id = "serial",    title = "Serial",    module = "demo.serial"},
  {id = "discovery", title = "Discovery", module = "demo.discovery"},
  {id = "prompter",  title = "Prompter",  module = "demo.prompter"},
}

local nav = {}          -- navigation button handle -> page entry
local current           -- the page on screen
local root = rootWidget

-- A page that fails must not take the demo down: its error is printed and
-- the demo goes on.
local function try(what, f, ...)
  local ok, err = pcall(f, ...)
  if not ok then print("demo: " .. what .. " failed: " .. tostring(err)) end
  return ok
end

local function canPaint()
  return lcdCanvas.gradient ~= nil
end

local function paintNav(b)
  if not canPaint() then return end
  local w, h = lcdCanvas:size()
  local page = nav[b]
  local state = b:state()
  if page == current and state == "" then state = "down" end
  lcdCanvas:gradient(0, 0, w, h, 0x00305070, page == current and "button.selected" or "button", state)
  lcdCanvas:text(14, (h - 18) // 2, page.title, 18, "white")
end

local function paintWelcome(w)
  if not canPaint() then return end
  local width, height = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, width, height, 0x001E2230, "panel.gradient")
  lcdCanvas:text(24, 24, "Orvane", 40, 0x007FD4FF)
  lcdCanvas:text(24, 84, "A Lua application host on Qt 5", 18, "white")
  lcdCanvas:text(24, 120, "Pick a page on the left.", 16, "lightgray")
  lcdCanvas:text(24, height - 64, "Started with ORVANE_RELOAD=1, the demo starts again whenever", 14, "lightgray")
  lcdCanvas:text(24, height - 44, "you save one of its files (docs/reload.md).", 14, "lightgray")
end

local function show(page)
  if page == current then return end
  local old = current
  current = page
  if old and old.panel then
    local x, y, w, h = old.panel:geometry()
    -- Slides out: an end rectangle that is not valid sends a child off-screen.
    mainWindow:animate(old.panel, x, y, w, h, 0, 0, 0, -1)
  end
  page.panel:show()
  -- A page that wants to know when it comes into view says so.
  if page.impl and page.impl.shown then try(page.id .. " shown", page.impl.shown) end
  mainWindow:animate(page.panel, W, 0, W - NAV, H, NAV, 0, W - NAV, H)
  mainWindow:setText("Orvane demo - " .. page.title)
  for b in pairs(nav) do b:update() end
end

local function build()
  for i, page in ipairs(pages) do
    local b = qt.PushButton.create(root)
    b:setName("nav." .. page.id)
    b:setGeometry(6, 6 + (i - 1) * 52, NAV - 12, 46)
    b:show()
    nav[b] = page

    page.panel = qt.QWidget.create(root)
    page.panel:setName("page." .. page.id)
    page.panel:setGeometry(W, 0, W - NAV, H)
    if page.module then
      local ok, m = pcall(require, page.module)
      if ok then
        page.impl = m
        try(page.id .. " build", m.build, page.panel)
      else
        page.unavailable = tostring(m)
        print("demo: page " .. page.id .. " unavailable: " .. page.unavailable)
      end
    end
    page.panel:hide()
  end
  -- ORVANE_DEMO_PAGE=id opens that page first (the headless screenshot uses it).
  local first = pages[1]
  for _, page in ipairs(pages) do
    if page.id == os.getenv("ORVANE_DEMO_PAGE") then first = page end
  end
  show(first)
end

function MsgHandler(handle, name, ...)
  if name == "onStartup" then
    build()
    return
  end
  if name == "onShutdown" then
    print("demo: goodbye")
    return
  end
  if handle and nav[handle] then
    if name == "onPaint" then
      try("paint", paintNav, handle)
    elseif name == "onClick" then
      show(nav[handle])
    end
    return
  end
  if handle == pages[1].panel and name == "onPaint" then
    try("paint", paintWelcome, handle)
    return
  end
  local answer
  for _, page in ipairs(pages) do
    if page.impl and page.impl.message then
      local ok, result = pcall(page.impl.message, handle, name, ...)
      if not ok then
        print("demo: " .. page.id .. " " .. name .. " failed: " .. tostring(result))
      elseif result ~= nil then
        answer = result
      end
    end
  end
  return answer
end

mainWindow:setText("Orvane demo")
