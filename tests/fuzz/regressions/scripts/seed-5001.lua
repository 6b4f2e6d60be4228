-- found by scriptfuzz: ERROR: LeakSanitizer: detected
-- scriptfuzz program, seed 5001
return require("fuzzrt").run{
ms = 482,
startup = {
{"new", 12, "PushButton", {{h=1}}},
},
input = {
},
on = {
onTimeout = {
},
onStartup = {
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
onMove = {
},
onResize = {
},
onClose = {
},
onDragEnter = {
},
onDragMove = {
},
onDrop = {
},
onTimer = {
},
onServiceAdded = {
},
onServiceRemoved = {
},
onNameConflict = {
},
onReadyRead = {
},
onError = {
},
onNewConnection = {
},
onDisconnected = {
},
onBytesWritten = {
},
},
}
