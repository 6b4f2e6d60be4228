-- Runs one generated program (see fuzzgen.lua for how they are made and
-- scriptfuzz.cpp for how they are judged). A program is data: lists of
-- operations, one per line, so that the reducer can drop lines and the
-- rest still runs. Operations name classes and methods as strings and are
-- resolved here at run time: one whose class or method is gone does
-- nothing.
--
-- Values in argument lists: plain numbers, strings and booleans as they
-- stand, and tagged tables: {h = N} the object in slot N (0 rootWidget,
-- -1 mainWindow, -2 lcdCanvas, -3 the tracker's handle), {v = NAME} one of
-- the hostile values below ("self": the object the running handler is
-- about).
local M = { keep = {} }

local qt = require "qt.core"
local modules = { qt, require "bonjour.core", require "serial.core" }

local stats = { calls = 0, handlers = 0, deletions = 0, raised = 0 }
local slots = {}
local program
local depth = 0
local current = {}   -- the handler's object at each depth
-- Bounds that keep every program finite: operations in all, and what may
-- be made (a handler that starts a timer, run by every timer, doubles them
-- at each turn of the loop, and would stall any Qt program).
local budget = 20000
local made, MADE = 0, 400
local started, STARTED = 0, 16
local ending = false
local trace = os.getenv("FUZZ_TRACE") -- each operation on standard error

local BIG = string.rep("B", 1 << 20)
local co = coroutine.create(function() end)
local selfref = { 1, 2 }
selfref.me = selfref

local function named(name)
  if name == "nil" then return nil end
  if name == "nan" then return 0 / 0 end
  if name == "inf" then return 1 / 0 end
  if name == "-inf" then return -1 / 0 end
  if name == "maxint" then return math.maxinteger end
  if name == "minint" then return math.mininteger end
  if name == "2^53" then return 2 ^ 53 end
  if name == "big" then return BIG end
  if name == "selfref" then return selfref end
  if name == "fn" then return print end
  if name == "co" then return co end
  if name == "stdout" then return io.stdout end
  if name == "self" then return current[depth] end
  -- Error values whose conversion to text misbehaves.
  if name == "raiser" then
    return setmetatable({}, { __tostring = function() error("tostring raised") end })
  end
  if name == "notstring" then
    return setmetatable({}, { __tostring = function() return {} end })
  end
  if name == "looper" then
    local t = {}
    setmetatable(t, { __tostring = function(x) return tostring(x) end })
    return t
  end
  if name == "tablerr" then return { code = 7 } end
  return nil
end

local function slot(n)
  if n == 0 then return rootWidget end
  if n == -1 then return mainWindow end
  if n == -2 then return lcdCanvas end
  if n == -3 then return debug.getregistry()["Tracker.Instance"] end
  return slots[n]
end

local function value(arg)
  if type(arg) ~= "table" then return arg end
  if arg.h then return slot(arg.h) end
  return named(arg.v)
end

local function values(list)
  local out, n = {}, 0
  for i, arg in ipairs(list or {}) do
    out[i] = value(arg)
    n = i
  end
  return out, n
end

local function classTable(name)
  for _, t in ipairs(modules) do
    local c = rawget(t, name)
    if type(c) == "table" then return c end
  end
  return nil
end

-- The function a class offers under name, its bases included.
local function lookup(class, name)
  local t = class
  for _ = 1, 10 do
    if type(t) ~= "table" then return nil end
    local f = rawget(t, name)
    if f ~= nil then return f end
    local mt = getmetatable(t)
    t = mt and rawget(mt, "__index")
  end
  return nil
end

local function call(f, ...)
  stats.calls = stats.calls + 1
  if type(f) ~= "function" then return false end
  return pcall(f, ...)
end

local run

-- Every source of messages leads here; a handler runs the program's list for
-- its message, unprotected, so that its errors reach the host.
local function handle(obj, msg, ...)
  if ending and msg ~= "onShutdown" then return nil end
  stats.handlers = stats.handlers + 1
  local ops = program.on and program.on[msg]
  if not ops or depth >= 6 then return nil end
  depth = depth + 1
  current[depth] = obj
  local ok, result = pcall(run, ops)
  current[depth] = nil
  depth = depth - 1
  if not ok then error(result, 0) end
  return result
end

local function destroy(v)
  if depth > 0 then stats.deletions = stats.deletions + 1 end
  return call(lookup(classTable("QObject"), "destroy"), v)
end

local ops = {}

function ops.new(op)
  if made >= MADE then return end
  made = made + 1
  local class = classTable(op[3])
  local create = class and lookup(class, "create")
  local args, n = values(op[4])
  local ok, v = call(create, table.unpack(args, 1, n))
  if ok and v ~= nil then slots[op[2]] = v end
end

function ops.call(op)
  local class = classTable(op[3])
  local args, n = values(op[5])
  call(class and lookup(class, op[4]), value(op[2]), table.unpack(args, 1, n))
end

function ops.destroy(op)
  destroy(value(op[2]))
end

function ops.drop(op)
  slots[op[2]] = nil
end

function ops.gc()
  collectgarbage()
end

function ops.msgbox(op)
  call(lookup(classTable("QWidget"), "msgBox"), value(op[2]), "fuzz", "box")
end

-- A dialog's modal loop, ended by a timer started just before it.
function ops.exec(op)
  local dialog = value(op[2])
  local timer = qt.Timer.create()
  -- Held until it fires: a collection must not take the loop's only end.
  M.keep[timer] = true
  timer.onTimeout = function()
    local ok, err = pcall(qt.QDialog.done, dialog, op[3] or 0)
    if trace then io.stderr:write("fuzzrt: exec's timer: ", tostring(ok), " ", tostring(err), "\n") end
    M.keep[timer] = nil
    pcall(qt.QObject.destroy, timer)
  end
  timer:setSingleShot()
  timer:setTimeout(op[4] or 10)
  timer:start()
  call(lookup(classTable("QDialog"), "exec"), dialog)
end

function ops.central(op)
  call(lookup(classTable("MainWindow"), "setCentralWidget"), mainWindow, value(op[2]))
end

function ops.close()
  call(lookup(classTable("QWidget"), "close"), mainWindow)
end

-- Another message, sent straight to the handler from inside this one.
function ops.reenter(op)
  local args, n = values(op[4])
  pcall(MsgHandler, value(op[2]), op[3], table.unpack(args, 1, n))
end

function ops.raise(op)
  stats.raised = stats.raised + 1
  error(value(op[2]), 0)
end

function ops.ret(op)
  return true, value(op[2])
end

-- A handle given another class's metatable: it must be refused, not cast.
function ops.relabel(op)
  local v, class = value(op[2]), classTable(op[3])
  if type(v) == "userdata" and class then
    local mt = debug.getmetatable(v)
    debug.setmetatable(v, class)
    call(lookup(class, op[4]), v)
    debug.setmetatable(v, mt)
  end
end

-- A finalizer called by hand.
function ops.finalize(op)
  local v = value(op[2])
  local mt = type(v) == "userdata" and debug.getmetatable(v)
  if mt then call(rawget(mt, "__gc"), v) end
end

-- A timer whose expiries go through the handler as "onTimeout".
function ops.timer(op)
  if started >= STARTED then return end
  started = started + 1
  local ok, t = call(qt.Timer.create)
  if not ok then return end
  slots[op[2]] = t
  t.onTimeout = function(self) pcall(handle, self, "onTimeout") end
  t:setTimeout(op[3])
  if op[4] then t:setSingleShot() end
  t:start()
end

-- A client for a server in another slot, so that the network messages come.
function ops.connect(op)
  if started >= STARTED then return end
  started = started + 1
  local server = value(op[3])
  local okPort, port = call(lookup(classTable("TcpServer"), "port"), server)
  if not okPort or type(port) ~= "number" then return end
  local ok, socket = call(qt.TcpSocket.create)
  if not ok then return end
  slots[op[2]] = socket
  call(qt.TcpSocket.connect, socket, "127.0.0.1", port)
end

function run(list)
  for _, op in ipairs(list) do
    if budget <= 0 then return nil end
    budget = budget - 1
    local f = ops[op[1]]
    if trace then io.stderr:write("fuzzrt: ", depth, " ", table.concat(op, " ", 1, 1), " ", tostring(op[2]), "\n") end
    if f then
      local stop, result = f(op)
      if stop then return result end
    end
  end
  return nil
end

local function report()
  io.stderr:write(string.format("FUZZSTATS calls=%d handlers=%d deletions=%d raised=%d\n",
    stats.calls, stats.handlers, stats.deletions, stats.raised))
  io.stderr:flush()
end

function M.run(p)
  program = p
  -- Reported when the interpreter closes, however the program ended.
  M.sentinel = setmetatable({}, { __gc = report })
  function MsgHandler(obj, msg, ...)
    if msg == "onStartup" then
      local end_ = qt.Timer.create()
      end_:setSingleShot()
      end_:setTimeout(p.ms or 300)
      end_.onTimeout = function()
        ending = true
        pcall(qt.QWidget.close, mainWindow)
      end
      end_:start()
      M.endTimer = end_
      depth = 1
      current[1] = obj
      -- One by one: an error in onStartup ends the program, and the
      -- handlers are what is being tried.
      for _, op in ipairs(p.startup or {}) do pcall(run, { op }) end
      depth = 0
    end
    return handle(obj, msg, ...)
  end
  FUZZ_INPUT = p.input or {}
  FUZZ_SLOT = slot
  return M
end

return M
