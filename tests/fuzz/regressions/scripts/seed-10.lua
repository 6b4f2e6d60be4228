-- found by scriptfuzz: hang
-- scriptfuzz program, seed 10
return require("fuzzrt").run{
ms = 212,
on = {
onResize = {
{"destroy", {v="self"}},
},
},
}
