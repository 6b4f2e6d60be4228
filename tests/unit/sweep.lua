-- The wrong-argument sweep, run by tests/unit/sweep.cpp (which provides
-- nativeDelete, settle, newQObject, newQWidget, trackerHandle, mainWindow,
-- mainWindowClass, the globals qt, bonjour and serial, and `sanitized`).
--
-- Classes are the tables of qt, bonjour.core and serial.core that carry
-- __classname; their functions are every function field of the class and
-- of its bases (walked through the metatables' __index chain), so a method
-- added later is swept without a change here.
--
-- No arity is known from C: every function gets MAXPOS positions (the
-- widest method, MainWindow.animate, takes 11 arguments; its last is a
-- flag that accepts any value).
local MAXPOS = sanitized and 8 or 10
local trace = os.getenv("ORVANE_SWEEP_TRACE")

-- Left out by name:
-- (__gc is swept like any method: a finalizer called by hand, the
-- Tracker's included, must leave dead handles and a working host.)
local excluded = {
  msgBox = "opens a modal message box and runs a nested loop",
  exec = "runs a modal dialog's nested loop",
  chooseFile = "opens a modal file dialog",
  dragDrop = "runs the blocking drag loop",
}
-- Takes no arguments and rescans the system's serial devices on every call
-- (about 10 ms): two positions show that extra arguments are ignored.
local positionsOf = { ["serial.ports"] = 2 }
-- Host names would make the socket look names up (DNS): only loopback here.
local hostPositions = { ["TcpSocket.connect"] = 2 }

local BIG = string.rep("A", 1 << 20)
local co = coroutine.create(function() end)
local selfref = { 1, 2, x = "y" }
selfref.me = selfref

local plain = {
  {"nil", nil}, {"false", false}, {"true", true}, {"0", 0}, {"-1", -1}, {"2^53", 2^53},
  {"maxinteger", math.maxinteger}, {"nan", 0/0}, {"inf", 1/0}, {"-inf", -1/0}, {"empty", ""},
  {"numeric", "42"}, {"table", selfref}, {"function", print}, {"coroutine", co},
  {"io.stdout", io.stdout},
}

local classes, modules = {}, {}
local function addModule(name, t)
  for k, v in pairs(t) do
    if type(v) == "table" and rawget(v, "__classname") then
      classes[#classes + 1] = v
    elseif type(v) == "function" then
      modules[#modules + 1] = { name = name .. "." .. k, fn = v }
    end
  end
end
addModule("qt", qt)
addModule("bonjour", bonjour)
addModule("serial", serial)
-- MainWindow first: a later destroy() on its handle takes the window away.
table.sort(classes, function(a, b)
  if (a == mainWindowClass) ~= (b == mainWindowClass) then return a == mainWindowClass end
  return a.__classname < b.__classname
end)
table.sort(modules, function(a, b) return a.name < b.name end)

local function functionsOf(class)
  local names, seen = {}, {}
  local t = class
  while type(t) == "table" do
    for k, v in pairs(t) do
      if type(k) == "string" and type(v) == "function" and not seen[k] then
        seen[k] = true
        names[#names + 1] = k
      end
    end
    local mt = getmetatable(t)
    t = mt and rawget(mt, "__index")
  end
  table.sort(names)
  return names
end

-- A live handle of every class that can have one.
local function freshHandles()
  local h = {}
  local image = qt.Image.create(16, 16)
  h.QObject = newQObject()
  h.QWidget = newQWidget()
  h.Widget = qt.Widget.create()
  h.QDialog = qt.QDialog.create()
  h.PushButton = qt.PushButton.create()
  h.QLineEdit = qt.QLineEdit.create()
  h.QPlainTextEdit = qt.QPlainTextEdit.create()
  h.QPainter = qt.QPainter.create(image)
  h.QFont = qt.QFont.create()
  h.Image = image
  h.Tracker = trackerHandle()
  h.ElapsedTimer = qt.ElapsedTimer.create()
  h.Timer = qt.Timer.create()
  h.TcpServer = qt.TcpServer.create("127.0.0.1", 0)
  h.TcpSocket = qt.TcpSocket.create()
  h.FDView = qt.FDView.create()
  h.MainWindow = mainWindow
  h.Bonjour = bonjour.Bonjour.create()
  h.SerialPort = serial.SerialPort.create()
  h.lcdCanvas = lcdCanvas
  return h
end

dead = qt.Widget.create()
nativeDelete(dead)

local function valueSet(handles)
  local set = {}
  for _, v in ipairs(plain) do set[#set + 1] = v end
  local names = {}
  for k in pairs(handles) do names[#names + 1] = k end
  table.sort(names)
  for _, k in ipairs(names) do set[#set + 1] = { "handle " .. k, handles[k] } end
  set[#set + 1] = { "dead", dead }
  return set
end

-- Destroys whatever Qt objects a call handed back (create() and socket()
-- make new ones), so the sweep does not pile them up.
local spawned = {}
local function keep(...)
  for i = 1, select("#", ...) do
    local v = select(i, ...)
    if type(v) == "userdata" and v ~= mainWindow then spawned[#spawned + 1] = v end
  end
end

local function cleanUp(handles)
  for _, v in ipairs(spawned) do pcall(qt.QObject.destroy, v) end
  for k, v in pairs(handles) do
    if k ~= "MainWindow" and k ~= "Tracker" and k ~= "lcdCanvas" then pcall(qt.QObject.destroy, v) end
  end
  spawned = {}
  settle()
end

local calls, raised = 0, 0
local function sweep(label, fn, selfClass)
  local handles = freshHandles()
  local values = valueSet(handles)
  local self = selfClass and handles[selfClass] or nil
  for pos = 1, positionsOf[label] or MAXPOS do
    for _, entry in ipairs(values) do
      local v = entry[2]
      local skip = hostPositions[label] == pos and (type(v) == "string" or type(v) == "number")
      if not skip then
        local args = {}
        for i = 1, MAXPOS do args[i] = 1 end
        if self ~= nil then args[1] = self end
        if hostPositions[label] then args[hostPositions[label]] = "127.0.0.1" end
        args[pos] = v
        if trace then io.stderr:write(label, " #", pos, " ", entry[1], "\n") io.stderr:flush() end
        local r = table.pack(pcall(fn, table.unpack(args, 1, pos)))
        calls = calls + 1
        if r[1] then keep(table.unpack(r, 2, r.n)) else raised = raised + 1 end
      end
    end
    -- The 1 MiB string: once per function, at its first argument after the receiver.
    if pos == (self ~= nil and 2 or 1) and not hostPositions[label] then
      local args = {}
      for i = 1, MAXPOS do args[i] = 1 end
      if self ~= nil then args[1] = self end
      args[pos] = BIG
      local r = table.pack(pcall(fn, table.unpack(args, 1, MAXPOS)))
      calls = calls + 1
      if r[1] then keep(table.unpack(r, 2, r.n)) else raised = raised + 1 end
    end
  end
  cleanUp(handles)
end

local functions = 0
for _, m in ipairs(modules) do
  if not excluded[m.name:match("[^.]+$")] then
    sweep(m.name, m.fn, nil)
    functions = functions + 1
  end
end
for _, class in ipairs(classes) do
  local cname = class.__classname
  for _, name in ipairs(functionsOf(class)) do
    if not excluded[name] then
      sweep(cname .. "." .. name, class[name], cname)
      functions = functions + 1
    end
  end
end
sweepCalls, sweepRaised, sweepFunctions, sweepClasses = calls, raised, functions, #classes
