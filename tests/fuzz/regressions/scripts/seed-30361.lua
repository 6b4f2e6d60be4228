-- found by scriptfuzz: ERROR: LeakSanitizer: detected
-- scriptfuzz program, seed 30361
return require("fuzzrt").run{
ms = 444,
startup = {
{"timer", 11, 14, false},
{"new", 8, "Widget", {{h=10}}},
{"msgbox", {h=8}},
},
input = {
},
on = {
onTimeout = {
{"call", {h=0}, "QWidget", "setParent", {}},
},
onShutdown = {
},
onPaint = {
},
onClick = {
},
onTouchPress = {
},
onRightClick = {
},
onTouchRelease = {
},
onKeyPress = {
},
onMove = {
},
onResize = {
},
onDragLeave = {
},
onTimer = {
},
onServiceRemoved = {
},
onResolved = {
},
onLookup = {
},
onNameConflict = {
},
onError = {
},
onNewConnection = {
},
onConnected = {
},
onDisconnected = {
},
onBytesWritten = {
},
},
}
