-- Written by hand after a crash the fuzzer found: the main window destroyed
-- by a timer while an onPaint handler's message box runs its loop; the box's
-- loop ran the delete, and the paint ended on a widget that was gone.
return require("fuzzrt").run{
ms = 400,
startup = {
{"new", 1, "Widget", {{h=0}}},
{"call", {h=1}, "QWidget", "setGeometry", {0, 0, 100, 100}},
{"call", {h=1}, "QWidget", "show", {}},
{"timer", 2, 5, false},
},
input = {
},
on = {
onPaint = {
{"msgbox", {v="self"}},
},
onTimeout = {
{"destroy", {h=-1}},
},
},
}
