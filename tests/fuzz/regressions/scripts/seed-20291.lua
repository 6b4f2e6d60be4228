-- found by scriptfuzz: hang
-- scriptfuzz program, seed 20291
return require("fuzzrt").run{
ms = 459,
startup = {
{"new", 1, "QDialog", {{h=11}}},
{"close"},
},
on = {
onTouchMove = {
{"exec", {h=1}, 3, 5},
},
onResize = {
{"msgbox", {v="self"}},
},
onClose = {
{"reenter", {h=10}, "onTouchMove", {{v="maxint"}}},
},
},
}
