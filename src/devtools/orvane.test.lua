-- The script half of require "orvane.test", compiled into the host as a
-- resource and run with the native half (find, mouse, key, close, check,
-- now, counts) as its argument. Returns the library and the runner that
-- the host steps the driver with.
--
-- Widgets are handles or object names (or the paths of parents a recording
-- writes); a missing name is an error at the caller's line, so a driver
-- fails where it went wrong.
local core = ...
local T = {}

-- The yield that means "resume me after this many milliseconds"; any other
-- yield (a driver's own coroutine gone astray) resumes at once.
local WAIT = "orvane.test.wait"

local function widget(w)
  if type(w) == "string" then
    local h = core.find(w)
    if not h then error("no widget named \"" .. w .. "\"", 3) end
    return h
  end
  if w == nil then error("widget expected", 3) end
  return w
end

function T.find(name) return core.find(name) end
function T.path(w) return core.path(widget(w)) end
function T.widget(w) return widget(w) end

function T.press(w, x, y) core.mouse(widget(w), "press", x, y, "left") end
function T.move(w, x, y) core.mouse(widget(w), "move", x, y, "left") end
function T.release(w, x, y) core.mouse(widget(w), "release", x, y, "left") end
function T.tap(w, x, y)
  local h = widget(w)
  core.mouse(h, "press", x, y, "left")
  core.mouse(h, "release", x, y, "left")
end
function T.rightClick(w, x, y)
  local h = widget(w)
  core.mouse(h, "press", x, y, "right")
  core.mouse(h, "release", x, y, "right")
end
function T.key(w, key, text, mods)
  if w == nil then return core.key(nil, key, text, mods) end
  return core.key(widget(w), key, text, mods)
end
function T.type(w, text)
  local h = widget(w)
  for _, c in utf8.codes(text) do
    local ch = utf8.char(c)
    core.key(h, ch, ch, "")
  end
end
function T.close(w) return core.close(widget(w)) end

function T.wait(ms) coroutine.yield(WAIT, ms or 0) end
function T.waitFor(predicate, ms)
  local deadline = core.now() + (ms or 5000)
  while true do
    local ok, result = pcall(predicate)
    if ok and result then return result end
    if core.now() >= deadline then return false, not ok and result or nil end
    T.wait(10)
  end
end
function T.now() return core.now() end

function T.geometry(w) return widget(w):geometry() end
function T.visible(w)
  if type(w) == "string" and not core.find(w) then return false end
  return widget(w):isVisible()
end
function T.text(w) return widget(w):text() end
function T.state(w) return widget(w):state() end

function T.check(id, condition, detail) return core.check(id, condition, detail) end
function T.counts() return core.counts() end

-- The host's side: the driver file runs as one coroutine, resumed by a
-- timer of the host after each wait, so the event loop runs on meanwhile.
local runner = {}
local driver

-- Loads the file; nil and the message when it does not compile.
function runner.start(path)
  local chunk, err = loadfile(path)
  if not chunk then return nil, err end
  driver = coroutine.create(chunk)
  return true
end

-- One step: "wait", ms; "done"; or "error", the message with the driver's
-- own traceback.
function runner.step()
  local ok, what, ms = coroutine.resume(driver)
  if not ok then
    local message = type(what) == "string" and what or "(error object is not a string)"
    local trace = debug.traceback(driver, message)
    driver = nil
    return "error", trace
  end
  if coroutine.status(driver) == "dead" then
    driver = nil
    return "done"
  end
  if what == WAIT and type(ms) == "number" then
    return "wait", math.max(0, math.min(ms, 24 * 3600 * 1000))
  end
  return "wait", 0
end

return T, runner
