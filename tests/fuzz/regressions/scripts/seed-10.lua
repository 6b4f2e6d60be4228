-- found by scriptfuzz: hang
-- scriptfuzz program, seed 10
return require("fuzzrt").run{
ms = 212,
startup = {
},
input = {
},
on = {
onStartup = {
},
onShutdown = {
},
onClick = {
},
onTouchPress = {
},
onTouchRelease = {
},
onTouchMove = {
},
onResize = {
{"destroy", {v="self"}},
},
onClose = {
},
onDragEnter = {
},
onDragMove = {
},
onDragLeave = {
},
onDrop = {
},
onServiceRemoved = {
},
onResolved = {
},
onLookup = {
},
onNameConflict = {
},
onConnected = {
},
onDisconnected = {
},
onBytesWritten = {
},
},
}
