-- found by scriptfuzz: ERROR: LeakSanitizer: detected
-- scriptfuzz program, seed 5001
return require("fuzzrt").run{
ms = 482,
startup = {
{"new", 12, "PushButton", {{h=1}}},
},
on = {
},
}
