-- A scene of painted styles inside a one-pixel magenta frame, so a
-- screenshot can find it wherever the window landed. No text: the fonts of
-- the two systems differ, the painting must not.
local qt = require "qt.core"
local W, H = 372, 150
local styles = { "", "panel", "panel.gradient", "button", "button.cell", "button.highlight" }
local states = { "normal", "down", "disabled" }
local scene

function MsgHandler(handle, message)
  if message == "onStartup" then
    mainWindow:setGeometry(40, 40, W + 40, H + 60)
    scene = qt.Widget.create(rootWidget)
    scene:setGeometry(10, 10, W, H)
    scene:show()
    local t = qt.Timer.create()
    t:setTimeout(1500)
    t:setSingleShot()
    t.onTimeout = function() print("scene ready") end
    t:start()
  elseif message == "onPaint" and handle == scene then
    lcdCanvas:fill(0, 0, W, H, "black")
    lcdCanvas:box(0, 0, W, H, 0x00FF00FF)
    for i, style in ipairs(styles) do
      for j, state in ipairs(states) do
        lcdCanvas:gradient(6 + (i - 1) * 60, 6 + (j - 1) * 46, 56, 40, 0x00305878, style, state)
      end
    end
  end
end
