-- found by scriptfuzz: hang
-- scriptfuzz program, seed 20291
return require("fuzzrt").run{
ms = 459,
startup = {
{"new", 1, "QDialog", {{h=11}}},
{"close"},
},
input = {
},
on = {
onStartup = {
},
onPaint = {
},
onClick = {
},
onTouchPress = {
},
onTouchRelease = {
},
onTouchMove = {
{"exec", {h=1}, 3, 5},
},
onMove = {
},
onResize = {
{"msgbox", {v="self"}},
},
onClose = {
{"reenter", {h=10}, "onTouchMove", {{v="maxint"}}},
},
onDragEnter = {
},
onDragLeave = {
},
onDrop = {
},
onServiceAdded = {
},
onServiceRemoved = {
},
onLookup = {
},
onReadyRead = {
},
onError = {
},
onNewConnection = {
},
onConnected = {
},
onDisconnected = {
},
},
}
