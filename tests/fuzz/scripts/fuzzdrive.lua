-- The input half of a generated program: real Qt input to the widgets in
-- the program's slots, sent through the host's test driver. A widget that
-- is gone, or a slot that holds no widget, raises inside pcall and the
-- next input goes on.
local t = require "orvane.test"

local kinds = {
  press = function(w, a, b) t.press(w, a, b) end,
  move = function(w, a, b) t.move(w, a, b) end,
  release = function(w, a, b) t.release(w, a, b) end,
  tap = function(w, a, b) t.tap(w, a, b) end,
  right = function(w, a, b) t.rightClick(w, a, b) end,
  key = function(w, a, b) t.key(w, a, b) end,
  close = function(w) t.close(w) end,
}

for _, op in ipairs(FUZZ_INPUT or {}) do
  if op[1] == "wait" then
    t.wait(op[2])
  elseif kinds[op[1]] then
    pcall(kinds[op[1]], FUZZ_SLOT(op[2]), op[3], op[4])
  end
end
-- The program's own timer ends the run; the driver only stops sending.
t.wait(1000)
