-- found by scriptfuzz: hang
-- scriptfuzz program, seed 154
return require("fuzzrt").run{
ms = 289,
startup = {
{"timer", 8, 0, false},
},
input = {
},
on = {
onTimeout = {
{"msgbox", {h=0}},
},
onStartup = {
},
onShutdown = {
},
onPaint = {
},
onTouchRelease = {
},
onTouchMove = {
},
onResize = {
},
onClose = {
},
onDragEnter = {
},
onDragLeave = {
},
onDrop = {
},
onTimer = {
},
onResolved = {
},
onLookup = {
},
onNameConflict = {
},
onReadyRead = {
},
onError = {
},
onNewConnection = {
},
onConnected = {
},
onBytesWritten = {
},
},
}
