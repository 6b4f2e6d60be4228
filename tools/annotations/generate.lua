-- Writes the language-server annotations (types/*.lua) and the API
-- reference (docs/api/reference/*.md) from the classes the modules really
-- registered plus descriptions.lua, and reports every difference between
-- the two. Run by gen-annotations inside an interpreter where qt.core
-- (with MainWindow), bonjour.core and serial.core are open.
--
-- Called with one table: { descriptions = path, modules = {names},
-- types = dir or nil, docs = dir or nil }. Returns the list of problems.
local opts = ...

local desc = dofile(opts.descriptions)
local problems = {}
local function problem(fmt, ...)
  problems[#problems + 1] = string.format(fmt, ...)
end

-- Constructors and other class functions first, then methods by name.
local function methodOrder(own, methods)
  local names = {}
  for k in pairs(own) do names[#names + 1] = k end
  table.sort(names, function(a, b)
    local sa, sb = (methods[a] or {}).static and 0 or 1, (methods[b] or {}).static and 0 or 1
    if sa ~= sb then return sa < sb end
    return a < b
  end)
  return names
end

local function sortedKeys(t)
  local keys = {}
  for k in pairs(t or {}) do keys[#keys + 1] = k end
  table.sort(keys)
  return keys
end

-- What the interpreter really holds. Class tables carry every inherited
-- function as a copy, so a method is the class's own only when it is not
-- the very function its base holds under that name.
local function isMeta(name) return name:sub(1, 2) == "__" end

local function registered(moduleName)
  local m = package.loaded[moduleName]
  local out = { functions = {}, classes = {} }
  if type(m) ~= "table" then
    problem("%s: module is not open", moduleName)
    return out
  end
  for k, v in pairs(m) do
    if type(v) == "function" then
      out.functions[k] = true
    elseif type(v) == "table" and rawget(v, "__classname") then
      local meta = getmetatable(v)
      local base = meta and type(meta.__index) == "table" and meta.__index or nil
      -- Classes with per-object fields (luaX_newindex) take any field a
      -- script stores on a handle.
      local cls = { base = base and rawget(base, "__classname") or nil, own = {}, inherited = {},
                    fields = rawget(v, "__newindex") ~= nil }
      for name, fn in pairs(v) do
        if type(name) == "string" and type(fn) == "function" and not isMeta(name) then
          if base and rawget(base, name) == fn then
            cls.inherited[name] = true
          else
            cls.own[name] = true
          end
        end
      end
      out.classes[k] = cls
    end
  end
  return out
end

local function checkEntry(where, d)
  if type(d) ~= "table" then
    problem("%s: description is not a table", where)
    return
  end
  if type(d.doc) ~= "string" or d.doc == "" then problem("%s: no doc line", where) end
  for i, p in ipairs(d.params or {}) do
    if type(p[1]) ~= "string" or type(p[2]) ~= "string" then
      problem("%s: parameter %d needs a name and a type", where, i)
    end
  end
  for i, r in ipairs(d.returns or {}) do
    if type(r[1]) ~= "string" then problem("%s: result %d needs a type", where, i) end
  end
end

-- Both directions: everything registered is described, everything
-- described is registered (as the class's own method).
local model = {}
for _, moduleName in ipairs(opts.modules) do
  local reg = registered(moduleName)
  local d = desc.modules[moduleName]
  if not d then
    problem("%s: module has no description", moduleName)
    d = { functions = {}, classes = {} }
  end
  for name in pairs(reg.functions) do
    if not (d.functions or {})[name] then problem("%s.%s: registered function has no description", moduleName, name) end
  end
  for _, name in ipairs(sortedKeys(d.functions)) do
    checkEntry(moduleName .. "." .. name, d.functions[name])
    if not reg.functions[name] then problem("%s.%s: described function is not registered", moduleName, name) end
  end
  for _, cname in ipairs(sortedKeys(reg.classes)) do
    local cls, cd = reg.classes[cname], (d.classes or {})[cname]
    if not cd then
      problem("%s: registered class has no description", cname)
    else
      for _, m in ipairs(sortedKeys(cls.own)) do
        if not (cd.methods or {})[m] then problem("%s.%s: registered method has no description", cname, m) end
      end
    end
  end
  for _, cname in ipairs(sortedKeys(d.classes)) do
    local cls, cd = reg.classes[cname], d.classes[cname]
    if not cls then
      problem("%s: described class is not registered in %s", cname, moduleName)
    else
      if type(cd.doc) ~= "string" or cd.doc == "" then problem("%s: no doc line", cname) end
      for _, m in ipairs(sortedKeys(cd.methods)) do
        checkEntry(cname .. "." .. m, cd.methods[m])
        if cls.inherited[m] then
          problem("%s.%s: described method is inherited from %s, not registered by %s", cname, m, cls.base, cname)
        elseif not cls.own[m] then
          problem("%s.%s: described method is not registered", cname, m)
        end
      end
    end
  end
  model[#model + 1] = { name = moduleName, reg = reg, desc = d }
end

for i, msg in ipairs(desc.messages or {}) do
  checkEntry("message " .. tostring(msg.name or i), msg)
  if type(msg.name) ~= "string" or type(msg.from) ~= "string" then
    problem("message %d: needs a name and a sender type", i)
  end
end

-- An alias is its type and its literal values: the values are what the
-- language server offers and what the linter accepts.
local aliasByName = {}
for _, a in ipairs(desc.aliases or {}) do
  aliasByName[a.name] = a
  if type(a.doc) ~= "string" or a.doc == "" then problem("alias %s: no doc line", tostring(a.name)) end
  if not a.type and not a.values then problem("alias %s: neither a type nor values", tostring(a.name)) end
end

local function aliasType(a)
  local parts = {}
  if a.type then parts[#parts + 1] = a.type end
  for _, v in ipairs(a.values or {}) do parts[#parts + 1] = string.format("%q", v) end
  return table.concat(parts, "|")
end

-- The colour names the host really takes: each described one must be
-- accepted, and a wrong one refused.
do
  local qt = package.loaded["qt.core"]
  local colours = aliasByName.Colour
  if type(qt) == "table" and qt.Image and qt.QPainter and colours then
    local painter = qt.QPainter.create(qt.Image.create(1, 1))
    for _, name in ipairs(colours.values or {}) do
      if not pcall(painter.setBrush, painter, name) then problem("Colour: the host does not take \"%s\"", name) end
    end
    if pcall(painter.setBrush, painter, "Red") then problem("Colour: the host takes \"Red\", which is not described") end
  end
end

if not opts.types and not opts.docs then return problems end

------------------------------------------------------------------ writing

local function writeIfChanged(path, text)
  local f = io.open(path, "rb")
  if f then
    local old = f:read("a")
    f:close()
    if old == text then return end
  end
  f = assert(io.open(path, "wb"))
  f:write(text)
  f:close()
end

local function paramList(params)
  local names = {}
  for i, p in ipairs(params or {}) do names[i] = p[1] end
  return table.concat(names, ", ")
end

local function funType(params, returns)
  local ps = {}
  for i, p in ipairs(params or {}) do
    ps[i] = p[1] .. (p[3] and p[1] ~= "..." and "?" or "") .. ": " .. p[2]
  end
  local rs = {}
  for i, r in ipairs(returns or {}) do rs[i] = r[1] end
  local t = "fun(" .. table.concat(ps, ", ") .. ")"
  if #rs > 0 then t = t .. ": " .. table.concat(rs, ", ") end
  return t
end

-- One function's annotation block.
local function annotateFunction(lines, qualified, sep, d)
  lines[#lines + 1] = "---" .. d.doc
  for _, p in ipairs(d.params or {}) do
    local name = p[1] == "..." and "..." or (p[1] .. (p[3] and "?" or ""))
    lines[#lines + 1] = "---@param " .. name .. " " .. p[2] .. (p[4] and (" " .. p[4]) or "")
  end
  for _, r in ipairs(d.returns or {}) do
    lines[#lines + 1] = "---@return " .. r[1] .. (r[2] and (" " .. r[2]) or "")
  end
  lines[#lines + 1] = "function " .. qualified .. sep .. "(" .. paramList(d.params) .. ") end"
  lines[#lines + 1] = ""
end

local header = "-- Generated by tools/gen-annotations from the registered classes and\n"
  .. "-- tools/annotations/descriptions.lua. Do not edit: change the descriptions.\n"

local function moduleTypes(m)
  local lines = { "---@meta " .. m.name, header }
  for _, cname in ipairs(sortedKeys(m.reg.classes)) do
    local cls, cd = m.reg.classes[cname], m.desc.classes[cname]
    if cd then
      lines[#lines + 1] = "---" .. cd.doc
      lines[#lines + 1] = "---@class " .. cname .. (cls.base and (" : " .. cls.base) or "")
      for _, f in ipairs(cd.fields or {}) do
        lines[#lines + 1] = "---@field " .. f[1] .. " " .. f[2] .. (f[3] and (" " .. f[3]) or "")
      end
      lines[#lines + 1] = "local " .. cname .. " = {}"
      lines[#lines + 1] = ""
      for _, mname in ipairs(methodOrder(cls.own, cd.methods or {})) do
        local md = cd.methods[mname]
        if md then annotateFunction(lines, cname, (md.static and "." or ":") .. mname, md) end
      end
    end
  end
  local var = m.desc.var or "M"
  lines[#lines + 1] = "---" .. (m.desc.doc or m.name)
  lines[#lines + 1] = "---@class " .. m.name
  lines[#lines + 1] = "local " .. var .. " = {}"
  lines[#lines + 1] = ""
  for _, fname in ipairs(sortedKeys(m.reg.functions)) do
    local fd = m.desc.functions[fname]
    if fd then annotateFunction(lines, var, "." .. fname, fd) end
  end
  for _, cname in ipairs(sortedKeys(m.reg.classes)) do
    if m.desc.classes[cname] then lines[#lines + 1] = var .. "." .. cname .. " = " .. cname end
  end
  lines[#lines + 1] = ""
  lines[#lines + 1] = "return " .. var
  return table.concat(lines, "\n") .. "\n"
end

-- Messages that share a name (onReadyRead from a socket and from a serial
-- port) become one alias entry but one overload each.
local function messageSummary(msg)
  local args = {}
  for i, p in ipairs(msg.params or {}) do args[i] = p[1] .. ": " .. p[2] end
  return "(" .. (msg.from == "nil" and "no object" or msg.from) .. (#args > 0 and ("; " .. table.concat(args, ", ")) or "") .. ") " .. msg.doc
end

local answerType = "boolean|integer|nil"

local function globalTypes()
  -- "_": nothing to require, the file only declares globals.
  local lines = { "---@meta _", header }
  for _, a in ipairs(desc.aliases or {}) do
    lines[#lines + 1] = "---" .. a.doc
    lines[#lines + 1] = "---@alias " .. a.name .. " " .. aliasType(a)
    lines[#lines + 1] = ""
  end
  for _, g in ipairs(desc.globals or {}) do
    lines[#lines + 1] = "---" .. g.doc
    lines[#lines + 1] = "---@type " .. g.type
    lines[#lines + 1] = g.name .. " = nil"
    lines[#lines + 1] = ""
  end

  lines[#lines + 1] = "---The name of a message MsgHandler receives."
  lines[#lines + 1] = "---@alias MsgHandlerMessage"
  local seen, order = {}, {}
  for _, msg in ipairs(desc.messages or {}) do
    if not seen[msg.name] then
      seen[msg.name] = {}
      order[#order + 1] = msg.name
    end
    table.insert(seen[msg.name], messageSummary(msg))
  end
  for _, name in ipairs(order) do
    lines[#lines + 1] = "---| \"" .. name .. "\" # " .. table.concat(seen[name], " / ")
  end
  lines[#lines + 1] = ""

  local overloads, senders = {}, {}
  for _, msg in ipairs(desc.messages or {}) do senders[msg.name] = (senders[msg.name] or 0) + 1 end
  for _, msg in ipairs(desc.messages or {}) do
    local params = { { "obj", msg.from == "nil" and "nil" or msg.from }, { "msg", "\"" .. msg.name .. "\"" } }
    for _, p in ipairs(msg.params or {}) do params[#params + 1] = p end
    local t = funType(params, { { msg.answer and answerType or "any" } })
    lines[#lines + 1] = "---" .. messageSummary(msg)
    -- One function type per message (per sender where a name is shared),
    -- for scripts that keep a handler per message in a table.
    local alias = "Message." .. msg.name
    if senders[msg.name] > 1 then alias = alias .. "." .. msg.from:gsub("[^%w]", "_") end
    lines[#lines + 1] = "---@alias " .. alias .. " " .. t
    lines[#lines + 1] = ""
    overloads[#overloads + 1] = "---@overload " .. t
  end

  lines[#lines + 1] = "---A function that can serve as MsgHandler."
  lines[#lines + 1] = "---@alias MsgHandlerFunction fun(obj: QObject?, msg: MsgHandlerMessage, ...: any): " .. answerType
  lines[#lines + 1] = ""
  lines[#lines + 1] = "---Receives every message the host sends the application: obj is the object the"
  lines[#lines + 1] = "---message is about (nil for onStartup and onShutdown), msg its name, then its"
  lines[#lines + 1] = "---arguments. A non-zero first result consumes onTouchPress, onRightClick,"
  lines[#lines + 1] = "---onTouchRelease and keeps a widget open on onClose; other messages ignore it."
  lines[#lines + 1] = "---@param obj QObject?"
  lines[#lines + 1] = "---@param msg MsgHandlerMessage"
  lines[#lines + 1] = "---@param ... any"
  lines[#lines + 1] = "---@return " .. answerType .. " consumed"
  for _, o in ipairs(overloads) do lines[#lines + 1] = o end
  lines[#lines + 1] = "function MsgHandler(obj, msg, ...) end"
  return table.concat(lines, "\n") .. "\n"
end

------------------------------------------------------------------ reference

local mdHeader = "<!-- Generated by tools/gen-annotations from the registered classes and "
  .. "tools/annotations/descriptions.lua. Do not edit: change the descriptions. -->\n\n"

local function cell(s) return (tostring(s):gsub("|", "\\|")) end

local function mdParams(d)
  local ps = {}
  for i, p in ipairs(d.params or {}) do
    ps[i] = "`" .. p[1] .. (p[3] and p[1] ~= "..." and "?" or "") .. ": " .. p[2] .. "`"
  end
  return #ps > 0 and cell(table.concat(ps, ", ")) or "none"
end

local function mdReturns(d)
  local rs = {}
  for i, r in ipairs(d.returns or {}) do rs[i] = "`" .. r[1] .. (r[2] and (" " .. r[2]) or "") .. "`" end
  return #rs > 0 and cell(table.concat(rs, ", ")) or "none"
end

local function moduleReference(m)
  local var = m.desc.var or "M"
  local out = { mdHeader, "# `" .. m.name .. "` reference\n\n", m.desc.doc or "", "\n\n",
                "```lua\nlocal " .. var .. " = require \"" .. m.name .. "\"\n```\n\n" }
  local function add(s) out[#out + 1] = s end
  local fnames = sortedKeys(m.reg.functions)
  if #fnames > 0 then
    add("## Module functions\n\n| Function | Arguments | Results | What it does |\n|---|---|---|---|\n")
    for _, f in ipairs(fnames) do
      local d = m.desc.functions[f]
      if d then
        add(string.format("| `%s.%s(%s)` | %s | %s | %s |\n", var, f, paramList(d.params), mdParams(d), mdReturns(d),
          cell(d.doc)))
      end
    end
    add("\n")
  end
  for _, cname in ipairs(sortedKeys(m.reg.classes)) do
    local cls, cd = m.reg.classes[cname], m.desc.classes[cname]
    if cd then
      add("## " .. cname .. "\n\n" .. cd.doc .. "\n\n")
      if cls.base then add("Derived from `" .. cls.base .. "`: it has every method of `" .. cls.base .. "` too.\n\n") end
      local own = methodOrder(cls.own, cd.methods or {})
      if #own > 0 then
        add("| Method | Arguments | Results | What it does |\n|---|---|---|---|\n")
        for _, mname in ipairs(own) do
          local d = cd.methods[mname]
          if d then
            local call = d.static and (var .. "." .. cname .. "." .. mname) or ("obj:" .. mname)
            add(string.format("| `%s(%s)` | %s | %s | %s |\n", call, paramList(d.params), mdParams(d), mdReturns(d),
              cell(d.doc)))
          end
        end
        add("\n")
      else
        add("No methods of its own.\n\n")
      end
      for _, f in ipairs(cd.fields or {}) do
        add(string.format("Field `%s` (`%s`): %s.\n\n", f[1], cell(f[2]), f[3] or ""))
      end
    end
  end
  return table.concat(out)
end

local function globalsReference()
  local out = { mdHeader, "# Globals and messages reference\n\n## Globals\n\n| Global | Type | Value |\n|---|---|---|\n" }
  local function add(s) out[#out + 1] = s end
  for _, g in ipairs(desc.globals or {}) do
    add(string.format("| `%s` | `%s` | %s |\n", g.name, g.type, cell(g.doc)))
  end
  add("\n## Messages to `MsgHandler(obj, msg, ...)`\n\n| Message | `obj` | Arguments after `msg` | Answer used | What it means |\n|---|---|---|---|---|\n")
  for _, msg in ipairs(desc.messages or {}) do
    add(string.format("| `%s` | `%s` | %s | %s | %s |\n", msg.name, cell(msg.from), mdParams(msg),
      msg.answer and "yes" or "no", cell(msg.doc)))
  end
  add("\n## Types\n\n| Name | Type | Meaning |\n|---|---|---|\n")
  for _, a in ipairs(desc.aliases or {}) do
    add(string.format("| `%s` | `%s` | %s |\n", a.name, cell(aliasType(a)), cell(a.doc)))
  end
  return table.concat(out)
end

------------------------------------------------------------------ luacheck

-- A luacheck configuration: the host's globals (with the methods of the
-- three handles as their fields), and in `orvane` everything tools/orvane-lint
-- checks besides: modules, classes with their methods and argument types,
-- and the values of the enumerations. luacheck ignores the extra table.
local function serialize(v, indent)
  indent = indent or ""
  if type(v) == "string" then return string.format("%q", v) end
  if type(v) ~= "table" then return tostring(v) end
  local inner = indent .. "  "
  local out, n = {}, #v
  for i = 1, n do out[#out + 1] = inner .. serialize(v[i], inner) end
  local keys = {}
  for k in pairs(v) do
    if not (type(k) == "number" and k >= 1 and k <= n and math.type(k) == "integer") then keys[#keys + 1] = k end
  end
  table.sort(keys, function(a, b) return tostring(a) < tostring(b) end)
  for _, k in ipairs(keys) do
    local key = type(k) == "string" and k:match("^[%a_][%w_]*$") and k or ("[" .. serialize(k) .. "]")
    out[#out + 1] = inner .. key .. " = " .. serialize(v[k], inner)
  end
  if #out == 0 then return "{}" end
  return "{\n" .. table.concat(out, ",\n") .. ",\n" .. indent .. "}"
end

local function luacheckConfig()
  local classes, modules = {}, {}
  for _, m in ipairs(model) do
    local mod = { var = m.desc.var, functions = {}, classes = {} }
    for fname in pairs(m.reg.functions) do
      local fd = (m.desc.functions or {})[fname] or {}
      local params = {}
      for i, p in ipairs(fd.params or {}) do params[i] = p[2] end
      mod.functions[fname] = { params = params, returns = fd.returns and fd.returns[1] and fd.returns[1][1] or nil }
    end
    for cname, cls in pairs(m.reg.classes) do
      mod.classes[#mod.classes + 1] = cname
      local cd = (m.desc.classes or {})[cname] or {}
      local methods = {}
      for mname in pairs(cls.own) do
        local md = (cd.methods or {})[mname] or {}
        local params = {}
        for i, p in ipairs(md.params or {}) do params[i] = p[2] end
        methods[mname] = { static = md.static or nil, params = params,
                           returns = md.returns and md.returns[1] and md.returns[1][1] or nil }
      end
      classes[cname] = { base = cls.base, fields = cls.fields or nil, methods = methods }
    end
    table.sort(mod.classes)
    modules[m.name] = mod
  end
  -- Every method a handle of the class answers, its bases' included.
  local function allMethods(cname)
    local set = {}
    while cname and classes[cname] do
      for mname in pairs(classes[cname].methods) do set[mname] = true end
      cname = classes[cname].base
    end
    return set
  end
  local enums = {}
  local function flatten(name, seen)
    local a = aliasByName[name]
    if not a or seen[name] then return nil end
    seen[name] = true
    local values, numbers = {}, false
    for _, v in ipairs(a.values or {}) do values[#values + 1] = v end
    for part in (a.type or ""):gmatch("[^|]+") do
      if part == "integer" or part == "number" then
        numbers = true
      elseif part:match('^".*"$') then
        values[#values + 1] = part:sub(2, -2)
      else
        local sub = flatten(part, seen)
        if not sub then return nil end -- a type that is not an enumeration
        for _, v in ipairs(sub.values) do values[#values + 1] = v end
        numbers = numbers or sub.numbers
      end
    end
    return { values = values, numbers = numbers or nil }
  end
  for _, a in ipairs(desc.aliases or {}) do
    local e = flatten(a.name, {})
    if e and #e.values > 0 then enums[a.name] = e end
  end

  local readGlobals, globals = {}, {}
  local handles = {}
  for _, g in ipairs(desc.globals or {}) do
    if classes[g.type] then
      local fields = {}
      for mname in pairs(allMethods(g.type)) do fields[mname] = {} end
      readGlobals[g.name] = { fields = fields }
      handles[g.name] = g.type
    else
      readGlobals[g.name] = {}
    end
  end
  globals.MsgHandler = {}
  local lines = {
    "-- Generated by tools/gen-annotations from the registered classes and",
    "-- tools/annotations/descriptions.lua. Do not edit: change the descriptions.",
    "-- luacheck reads the globals; tools/orvane-lint also reads the orvane table.",
    'std = "lua53"',
    "-- Handlers receive arguments they need not use.",
    "unused_args = false",
    "globals = " .. serialize(globals),
    "read_globals = " .. serialize(readGlobals),
    "orvane = " .. serialize({ modules = modules, classes = classes, globals = handles, enums = enums }),
  }
  return table.concat(lines, "\n") .. "\n"
end

for _, m in ipairs(model) do
  if opts.types then writeIfChanged(opts.types .. "/" .. m.name .. ".lua", moduleTypes(m)) end
  if opts.docs then writeIfChanged(opts.docs .. "/" .. m.name .. ".md", moduleReference(m)) end
end
if opts.types then writeIfChanged(opts.types .. "/globals.lua", globalTypes()) end
if opts.types then writeIfChanged(opts.types .. "/luacheckrc", luacheckConfig()) end
if opts.docs then writeIfChanged(opts.docs .. "/globals.md", globalsReference()) end
return problems
