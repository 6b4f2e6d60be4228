# The default resources are compiled into the executable, so the ":" entry of
# the resource search list finds them and a bare executable starts anywhere.
# The four "digital-7" fonts are our copies of DSEG7 from Debian's fonts-dseg.
set(ORVANE_DSEG_DIR "/usr/share/fonts/truetype/dseg" CACHE PATH "Where fonts-dseg installs its files")
set(ORVANE_FONT_MAP
  "digital-7.ttf=DSEG7Classic-Regular.ttf"
  "digital-7 (italic).ttf=DSEG7Classic-Italic.ttf"
  "digital-7 (mono).ttf=DSEG7ClassicMini-Regular.ttf"
  "digital-7 (mono italic).ttf=DSEG7ClassicMini-Italic.ttf")

set(_stage ${CMAKE_BINARY_DIR}/resources)
file(MAKE_DIRECTORY ${_stage}/fonts ${_stage}/images)
set(_qrc "<!DOCTYPE RCC><RCC version=\"1.0\">\n<qresource prefix=\"/\">\n")
foreach(_pair IN LISTS ORVANE_FONT_MAP)
  string(REPLACE "=" ";" _parts "${_pair}")
  list(GET _parts 0 _name)
  list(GET _parts 1 _source)
  if(NOT EXISTS "${ORVANE_DSEG_DIR}/${_source}")
    message(FATAL_ERROR "Font ${ORVANE_DSEG_DIR}/${_source} is missing: run scripts/install-deps")
  endif()
  configure_file("${ORVANE_DSEG_DIR}/${_source}" "${_stage}/fonts/${_name}" COPYONLY)
  string(APPEND _qrc "  <file alias=\"fonts/${_name}\">${_stage}/fonts/${_name}</file>\n")
endforeach()
configure_file(${CMAKE_SOURCE_DIR}/resources/splash.png ${_stage}/images/splash.png COPYONLY)
configure_file(${CMAKE_SOURCE_DIR}/resources/stylesheet.css ${_stage}/stylesheet.css COPYONLY)
string(APPEND _qrc "  <file alias=\"images/splash.png\">${_stage}/images/splash.png</file>\n")
string(APPEND _qrc "  <file alias=\"stylesheet.css\">${_stage}/stylesheet.css</file>\n")
# The script half of the test driver's library, read by luaopen_orvane_test.
string(APPEND _qrc "  <file alias=\"devtools/orvane.test.lua\">${CMAKE_SOURCE_DIR}/src/devtools/orvane.test.lua</file>\n")
string(APPEND _qrc "</qresource>\n</RCC>\n")
file(WRITE ${CMAKE_BINARY_DIR}/orvane_resources.qrc.in "${_qrc}")
configure_file(${CMAKE_BINARY_DIR}/orvane_resources.qrc.in ${CMAKE_BINARY_DIR}/orvane_resources.qrc COPYONLY)
set(ORVANE_QRC ${CMAKE_BINARY_DIR}/orvane_resources.qrc)

# An installed host: the executable in bin/, its files one level up, where the
# resource lookup looks second.
install(DIRECTORY ${_stage}/ DESTINATION .)
