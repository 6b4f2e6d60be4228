-- found by scriptfuzz: hang
-- scriptfuzz program, seed 154
return require("fuzzrt").run{
ms = 289,
startup = {
{"timer", 8, 0, false},
},
on = {
onTimeout = {
{"msgbox", {h=0}},
},
},
}
