-- found by scriptfuzz: ERROR: LeakSanitizer: detected
-- scriptfuzz program, seed 30361
return require("fuzzrt").run{
ms = 444,
startup = {
{"timer", 11, 14, false},
{"new", 8, "Widget", {{h=10}}},
{"msgbox", {h=8}},
},
on = {
onTimeout = {
{"call", {h=0}, "QWidget", "setParent", {}},
},
},
}
