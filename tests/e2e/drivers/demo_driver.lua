-- Walks through the demo's pages by their navigation buttons, as a user
-- would, and checks that each page slides in and stays alone on screen.
local t = require "orvane.test"

local NAV, W, H = 150, 837, 420 -- the demo's layout: navigation bar, panel area
local order = {"styles", "widgets", "network", "serial", "discovery", "prompter", "start"}

t.check("start page shown", t.waitFor(function()
  return t.visible("page.start") and select(1, t.geometry("page.start")) == NAV
end, 3000), "the welcome page did not slide in")

local previous = "start"
for _, id in ipairs(order) do
  local page = "page." .. id
  t.tap("nav." .. id)
  local arrived = t.waitFor(function()
    local x, y, w, h = t.geometry(page)
    return t.visible(page) and x == NAV and y == 0 and w == W - NAV and h == H
  end, 3000)
  local x, y, w, h = t.geometry(page)
  t.check(page, arrived, string.format("geometry %d,%d %dx%d, visible %s", x, y, w, h, tostring(t.visible(page))))
  if previous ~= id then
    local gone = t.waitFor(function()
      local px = t.geometry("page." .. previous)
      return not t.visible("page." .. previous) or px ~= NAV
    end, 3000)
    t.check(page .. " replaces page." .. previous, gone, "page." .. previous .. " is still in place")
  end
  previous = id

  if id == "prompter" then
    local view = require("demo.prompter").state().view
    t.check("prompter opens at the top", view:position() == 0, "the scene is at " .. view:position())
  end

  if id == "widgets" then
    -- The log lists what happens once the page is shown, not its building.
    local log = t.find("page.widgets/Widget:0/QPlainTextEdit:0")
    local text = log and log:text() or ""
    t.check("widgets log starts clean", log ~= nil and not text:find("onResize") and not text:find("onMove"),
            "the log opens with: " .. text:sub(1, 80))

    -- The page's line edit has no name of its own: it is reached by its
    -- path of parents, as a recording would write it.
    local edit = t.find("page.widgets/Widget:0/QLineEdit:0")
    t.check("widgets edit found", edit ~= nil, "no line edit under page.widgets")
    if edit then
      t.tap(edit)
      t.key(edit, "end")
      t.type(edit, "!?")
      t.key(edit, "backspace")
      t.check("widgets edit typed", t.text(edit) == "type here!", "text is " .. tostring(t.text(edit)))
    end
  end
end
