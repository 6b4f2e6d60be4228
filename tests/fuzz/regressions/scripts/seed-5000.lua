-- found by scriptfuzz: ERROR: LeakSanitizer: detected
-- scriptfuzz program, seed 5000
return require("fuzzrt").run{
ms = 434,
startup = {
{"new", 12, "QLineEdit", {}},
},
on = {
},
}
