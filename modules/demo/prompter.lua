-- The demo's prompter page: a short screenplay in an FDView, scrolled by
-- touch buttons and by a timer-driven glide, with paragraph tags used to
-- light up the speaker on cue and to hide the stage directions.
--
-- build(parent) makes the page's widgets under parent; the demo's
-- MsgHandler hands every message to message(handle, name, ...), which
-- answers the ones that belong to this page and ignores the rest.
local qt = require "qt.core"

local M = {}

-- Paragraph tags. Each speaker's name and lines share the speaker's tag, so
-- one setColor lights up everything they say.
local TAG_TITLE, TAG_SCENE, TAG_DIRECTION, TAG_PAGE = 0, 10, 11, 12
local speakers = {MARA = 1, TOMAS = 2}

local CUE_COLOUR = 0xFFF2A8     -- pale yellow behind the speaker on cue
local PAPER = 0xFFFFFF          -- everyone else: the page's own white
local GLIDE_MS = 1000           -- one timer tick per glide of the view
local GLIDE_PAGES = 0.2         -- how far each tick moves the text

-- "The Relief", a scene written for this demo. Each entry is one add:
-- {text, kind} or {speaker, {line, line, ...}}.
local script = {
  {"THE RELIEF", "Title"},
  {"a scene for a prompter", "Page"},
  {"EXT. LIGHTHOUSE GALLERY - NIGHT", "Scene"},
  {"Wind. The lamp turns above a black sea. MARA (60s, oilskin, a thermos) "
    .. "leans on the rail. The door behind her bangs open.", "Action"},
  {"TOMAS (20s, soaked, a duffel bag far too new) climbs out, holding on "
    .. "to everything.", "Action"},
  {"TOMAS", {"They said the boat would wait.", "The boat did not wait."}},
  {"MARA", {"The boat never waits. That is how you know it is the boat."}},
  {"She pours tea into the thermos lid and holds it out. He does not take it.",
    "Action"},
  {"TOMAS", {"I am the relief.", "The office said you'd show me the log, the "
    .. "lamp, the fog signal."}},
  {"MARA", {"The log is a book. The lamp is a lamp.",
    "The fog signal is the thing that will keep you awake for three years."}},
  {"TOMAS", {"Three?"}},
  {"MARA", {"I came for six months. That was in the spring of the year the "
    .. "harbour froze."}},
  {"A long beam sweeps over them. For a moment the whole sea is silver.",
    "Action"},
  {"", "Page"},
  {"INT. LAMP ROOM - CONTINUOUS", "Scene"},
  {"Brass and glass. MARA winds the clockwork with slow, exact turns. TOMAS "
    .. "watches her hands as if he will be tested on them.", "Action"},
  {"MARA", {"Forty turns at dusk. Forty at midnight. If it slows, you wind. "
    .. "If it stops, you turn it by hand until it doesn't."}},
  {"TOMAS", {"By hand? All night?"}},
  {"MARA", {"Once. The winter my brother's boat was out."}},
  {"TOMAS", {"Did he come in?"}},
  {"Beat. She lets go of the crank. The lamp keeps turning on its own.",
    "Action"},
  {"MARA", {"Everyone comes in. Some of them just take longer."}},
  {"She unhooks a ring of keys from her belt and puts it in his palm.",
    "Action"},
  {"TOMAS", {"You're leaving tonight?"}},
  {"MARA", {"The boat comes at six. It never waits."}},
  {"TOMAS", {"Then who shows me the rest?"}},
  {"MARA", {"The sea will. Write down what it tells you. That is all the "
    .. "log ever was."}},
  {"TOMAS looks down at the keys. When he looks up, she is already on the "
    .. "stairs.", "Action"},
  {"The lamp turns. The beam finds the water, and the water gives it back.",
    "Action"},
  {"FADE OUT.", "Page"},
}

local page = {}       -- the page's widgets and its glide timer
local buttons = {}    -- PushButton handle -> {label = text or function, action = function}
local cues = {}       -- speaker tags in the order they speak
local cue = 0         -- index into cues of the speaker on cue (0: none yet)
local directions = true

local function label(b)
  local l = buttons[b].label
  if type(l) == "function" then return l() end
  return l
end

local function paintButton(b)
  -- Painting needs the painter's styles; without them the buttons stay
  -- plain and the page still works.
  if not lcdCanvas.gradient then return end
  local w, h = lcdCanvas:size()
  lcdCanvas:gradient(0, 0, w, h, 0x00404A5A, "button", b:state())
  if lcdCanvas.text then
    lcdCanvas:text(10, (h - 16) // 2, label(b), 16, "white")
  end
end

local function fill(view)
  view:clear()
  for _, entry in ipairs(script) do
    local text, second = entry[1], entry[2]
    if type(second) == "table" then
      local tag = speakers[text]
      view:add(text, "Character", tag)
      for i, line in ipairs(second) do
        -- The first line sets the dialogue formats; the rest reuse them.
        view:add(line, i == 1 and "Dialogue" or nil, tag)
      end
      cues[#cues + 1] = tag
    elseif second == "Action" then
      view:add(text, second, TAG_DIRECTION)
    elseif second == "Scene" then
      view:add(text, second, TAG_SCENE)
    elseif second == "Title" then
      view:add(text, second, TAG_TITLE)
    else
      if text == "" then view:pagebreak() else view:add(text, second, TAG_PAGE) end
    end
  end
end

-- Lights up the speaker of cue i and puts everyone else back on white.
local function setCue(i)
  cue = i
  for _, tag in pairs(speakers) do
    page.view:setColor(tag, (cues[cue] == tag) and CUE_COLOUR or PAPER)
  end
end

local function toggleDirections()
  directions = not directions
  page.view:setVisibleForTag(TAG_DIRECTION, directions and 1 or 0)
end

local function playing() return page.timer and page.playing end

local function stop()
  page.playing = false
  page.timer:stop()
end

-- One tick of the glide: each scrollStep during a running glide aims one
-- step beyond the last target, so the text keeps moving without a jerk.
local function tick()
  if page.view:position() >= 1 then
    stop()
  else
    page.view:scrollStep(GLIDE_PAGES)
  end
  for b in pairs(buttons) do b:update() end
end

local function togglePlay()
  if playing() then
    stop()
  else
    page.playing = true
    tick()
    page.timer:start()
  end
end

local function button(parent, text, y, action)
  local b = qt.PushButton.create(parent)
  b:setGeometry(510, y, 160, 40)
  b:show()
  buttons[b] = {label = text, action = action}
  return b
end

function M.build(parent)
  page.root = qt.Widget.create(parent)
  page.root:setGeometry(0, 0, 680, 420)

  page.view = qt.FDView.create(page.root)
  page.view:setGeometry(10, 10, 490, 400)
  page.view:setFontScale(1.2)
  fill(page.view)
  -- A prompter is read, not edited: drags go to the page, not to a selection.
  page.view:setEdit(0)
  setCue(1)

  page.timer = qt.Timer.create()
  page.timer:setTimeout(GLIDE_MS)
  page.timer.onTimeout = function(self) tick() end

  local y = 10
  local function row(text, action)
    button(page.root, text, y, action)
    y = y + 46
  end
  row("Line up", function() page.view:scrollStep(-0.25) end)
  row("Line down", function() page.view:scrollStep(0.25) end)
  row("Page up", function() page.view:scrollStep(-1) end)
  row("Page down", function() page.view:scrollStep(1) end)
  row(function() return playing() and "Pause" or "Play" end, togglePlay)
  row("Top", function()
    if playing() then stop() end
    page.view:scrollTo(0)
    setCue(1)
  end)
  row("Next cue", function() setCue(cue % #cues + 1) end)
  row(function() return directions and "Hide directions" or "Show directions" end,
      toggleDirections)

  page.view:show()
  page.root:show()
end

-- The editor's own cursor rides along with every add and drags the view to
-- the end once the text is laid out, which happens when the page is first
-- shown: the first showing starts reading at the top.
function M.shown()
  if page.seen then return end
  page.seen = true
  page.view:setPosition(0)
end

function M.message(handle, name, ...)
  if not buttons[handle] then return nil end
  if name == "onPaint" then
    paintButton(handle)
  elseif name == "onClick" then
    buttons[handle].action()
    for b in pairs(buttons) do b:update() end
  end
  return nil
end

-- For a harness: the page's state at a glance.
function M.state()
  return {view = page.view, timer = page.timer, playing = playing() or false,
          cue = cues[cue], directions = directions, buttons = buttons}
end

return M
