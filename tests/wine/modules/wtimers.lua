-- Ten expiries of a 50 ms timer, one of a single-shot timer, measured by an
-- elapsed timer from the first expiry to the tenth (the first waits for the
-- first frame, which under wine takes about two seconds).
local qt = require "qt.core"
local ticks, shots = 0, 0
local clock

function MsgHandler(handle, message)
  if message == "onStartup" then
    local once = qt.Timer.create()
    once:setTimeout(20)
    once:setSingleShot()
    once.onTimeout = function() shots = shots + 1 end
    once:start()
    local every = qt.Timer.create()
    every:setTimeout(50)
    every.onTimeout = function(self)
      ticks = ticks + 1
      if ticks == 1 then
        clock = qt.ElapsedTimer.create()
      elseif ticks == 10 then
        self:stop()
        print("timers", ticks, shots, clock:elapsed())
        mainWindow:close()
      end
    end
    every:start()
  end
end
