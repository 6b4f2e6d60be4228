-- Writes generated application modules (programs for fuzzrt.lua). It runs
-- inside the host, so the classes and methods it draws from are the ones
-- registered now: a class or method added later is used without a change
-- here. The messages come from the editor descriptions.
--
-- Environment: FUZZ_GEN_SEED (first seed), FUZZ_GEN_COUNT (programs),
-- FUZZ_GEN_DIR (where pSEED.lua go), FUZZ_MESSAGES (descriptions.lua).

local qt = require "qt.core"
local bonjour = require "bonjour.core"
local serial = require "serial.core"

local first = math.tointeger(tonumber(os.getenv("FUZZ_GEN_SEED") or "1")) or 1
local count = math.tointeger(tonumber(os.getenv("FUZZ_GEN_COUNT") or "1")) or 1
local dir = os.getenv("FUZZ_GEN_DIR") or "."

-- Our own generator: the same seed gives the same program on every system.
local state
local function seed(s) state = s * 2654435761 + 1 end
local function rand(n)
  state = state * 6364136223846793005 + 1442695040888963407
  return ((state >> 33) % n) + 1
end
local function chance(p) return rand(1000) <= p * 1000 end
local function pick(list) if #list == 0 then return nil end return list[rand(#list)] end

-- Messages, from the descriptions; onTimeout is the fuzz timers' own.
local messages, seenMessage = { "onTimeout" }, {}
do
  local ok, d = pcall(dofile, os.getenv("FUZZ_MESSAGES") or "")
  if ok and type(d) == "table" then
    for _, m in ipairs(d.messages or {}) do
      if not seenMessage[m.name] then
        seenMessage[m.name] = true
        messages[#messages + 1] = m.name
      end
    end
  end
end

-- Modal or blocking for ever without a user, or looking names up on the
-- network: left to ops of their own (msgbox, exec, connect) or out.
local withheld = { chooseFile = true, dragDrop = true, msgBox = true, exec = true, connect = true,
                   __index = true, __newindex = true, __gc = true, create = true }

local classes, creatable = {}, {}
for _, t in ipairs({ qt, bonjour, serial }) do
  for name, c in pairs(t) do
    if type(c) == "table" and rawget(c, "__classname") then
      -- A class table holds its bases' functions as well: registration
      -- copies them in.
      local methods = {}
      for k, v in pairs(c) do
        if type(k) == "string" and type(v) == "function" and not withheld[k] then
          methods[#methods + 1] = k
        end
      end
      table.sort(methods)
      local entry = { name = name, methods = methods }
      classes[#classes + 1] = entry
      local create = rawget(c, "create")
      if type(create) == "function" and name ~= "MainWindow" then creatable[#creatable + 1] = name end
    end
  end
end
table.sort(classes, function(a, b) return a.name < b.name end)
table.sort(creatable)

local NSLOTS = 12
local hostile = { "nil", "nan", "inf", "-inf", "maxint", "minint", "2^53", "big", "selfref", "fn", "co", "stdout",
                  "raiser", "notstring", "looper", "self" }
local strings = { "", "42", "fuzz", "red", "bold", "button", "panel", "normal", "fullscreen", "127.0.0.1", "a\0b" }

local function handleArg()
  if chance(0.2) then return { v = "self" } end
  return { h = rand(NSLOTS + 4) - 4 } -- -3 .. NSLOTS
end

local function valueArg()
  local r = rand(100)
  if r <= 35 then return rand(300) - 6 end
  if r <= 40 then return (rand(2000) - 1000) / 7 end
  if r <= 60 then return handleArg() end
  if r <= 75 then return pick(strings) end
  if r <= 80 then return chance(0.5) end
  return { v = pick(hostile) }
end

local function args(max)
  local a = {}
  for i = 1, rand(max + 1) - 1 do a[i] = valueArg() end
  return a
end

local function createArgs()
  local r = rand(8)
  if r <= 3 then return { { h = rand(NSLOTS + 1) - 1 } } end
  if r == 4 then return { rand(64), rand(64) } end
  if r == 5 then return { { h = rand(NSLOTS) } } end
  if r == 6 then return { "127.0.0.1", 0 } end
  if r == 7 then return {} end
  return args(3)
end

local function newOp()
  return { "new", rand(NSLOTS), pick(creatable), createArgs() }
end

local function callOp()
  local class = pick(classes)
  if #class.methods == 0 then return { "gc" } end
  local receiver = chance(0.85) and handleArg() or valueArg()
  return { "call", receiver, class.name, pick(class.methods), args(5) }
end

local function handlerOp()
  local r = rand(100)
  if r <= 30 then return callOp() end
  if r <= 37 then return newOp() end
  if r <= 45 then return { "destroy", { v = "self" } } end
  if r <= 51 then return { "destroy", handleArg() } end
  if r <= 54 then return { "msgbox", handleArg() } end
  if r <= 57 then
    return { "exec", { h = rand(NSLOTS) }, rand(5) - 2, rand(20) }
  end
  if r <= 65 then return { "reenter", handleArg(), pick(messages), args(3) } end
  if r <= 71 then return { "raise", valueArg() } end
  if r <= 75 then return { "gc" } end
  if r <= 78 then return { "central", handleArg() } end
  if r <= 80 then return { "close" } end
  if r <= 88 then return { "ret", valueArg() } end
  if r <= 90 then
    local class = pick(classes)
    return { "relabel", handleArg(), class.name, pick(class.methods) or "destroy" }
  end
  if r <= 91 then return { "finalize", handleArg() } end
  if r <= 94 then return { "drop", rand(NSLOTS) } end
  if r <= 97 then return { "timer", rand(NSLOTS), rand(30) - 1, chance(0.5) } end
  return { "connect", rand(NSLOTS), handleArg() }
end

local function startupOp(i)
  if i <= 4 then return { "new", rand(NSLOTS), pick(creatable), { { h = rand(NSLOTS + 1) - 1 } } } end
  local r = rand(100)
  if r <= 35 then return newOp() end
  if r <= 45 then return { "timer", rand(NSLOTS), rand(30) - 1, chance(0.3) } end
  if r <= 55 then return { "new", rand(NSLOTS), "TcpServer", { "127.0.0.1", 0 } } end
  if r <= 62 then return { "connect", rand(NSLOTS), { h = rand(NSLOTS) } } end
  if r <= 66 then return { "central", { h = rand(NSLOTS) } } end
  return handlerOp()
end

local inputs = { "press", "move", "release", "tap", "tap", "right", "key", "close" }
local keys = { "enter", "escape", "left", "a", "space", "backspace", "tab" }

local function inputOp()
  if chance(0.3) then return { "wait", rand(30) - 1 } end
  local kind = pick(inputs)
  if kind == "key" then return { "key", rand(NSLOTS + 1) - 1, pick(keys), pick({ "", "c", "s" }) } end
  return { kind, rand(NSLOTS + 1) - 1, rand(60) - 5, rand(60) - 5 }
end

-- Program text: one operation per line, so that dropping lines keeps it valid.
local function literal(v)
  local t = type(v)
  if t == "number" then
    if math.type(v) == "integer" then return string.format("%d", v) end
    return string.format("%.17g", v)
  end
  if t == "string" then return string.format("%q", v):gsub("\\\n", "\\n") end
  if t == "boolean" then return tostring(v) end
  if v.h then return "{h=" .. v.h .. "}" end
  if v.v then return "{v=" .. string.format("%q", v.v) .. "}" end
  local parts = {}
  for i, x in ipairs(v) do parts[i] = literal(x) end
  return "{" .. table.concat(parts, ", ") .. "}"
end

local function program(s)
  seed(s)
  local out = { "-- scriptfuzz program, seed " .. s, "return require(\"fuzzrt\").run{",
                "ms = " .. (150 + rand(450)) .. ",", "startup = {" }
  for i = 1, 4 + rand(40) do out[#out + 1] = literal(startupOp(i)) .. "," end
  out[#out + 1] = "},"
  out[#out + 1] = "input = {"
  for _ = 1, rand(30) - 1 do out[#out + 1] = literal(inputOp()) .. "," end
  out[#out + 1] = "},"
  out[#out + 1] = "on = {"
  for _, m in ipairs(messages) do
    if chance(0.7) then
      out[#out + 1] = m .. " = {"
      for _ = 1, rand(9) - 1 do out[#out + 1] = literal(handlerOp()) .. "," end
      out[#out + 1] = "},"
    end
  end
  out[#out + 1] = "},"
  out[#out + 1] = "}"
  return table.concat(out, "\n") .. "\n"
end

function MsgHandler(_, msg)
  if msg ~= "onStartup" then return end
  for s = first, first + count - 1 do
    local f = assert(io.open(dir .. "/p" .. s .. ".lua", "w"))
    f:write(program(s))
    f:close()
  end
  local done = qt.Timer.create()
  done:setSingleShot()
  done:setTimeout(0)
  done.onTimeout = function() mainWindow:close() end
  done:start()
  FUZZGEN_TIMER = done
end
