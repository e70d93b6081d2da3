# Fails when a source file includes a layer it may not use, or when a Qt-free layer includes Qt.
# Layers, lowest first: protocol (the wire format) and platform <- hwaccess <- tool models <-
# shell <- tool views <- app; the daemon (driver) and the command line (cli) stand beside them
# and never use Qt; the daemon shares only the wire format and the string formatting, hexadecimal
# parsing and CRC of the platform layer; the wire format uses the hexadecimal parsing. The board profile library (boards/profile) uses none of them; the daemon
# and the tool models may use it.
# Run as: cmake -DSOURCE_DIR=... -DSTAMP=... -P check_layers.cmake

# Allowed include prefixes per folder; the longest matching folder decides.
set(allowed_platform "platform/")
set(allowed_protocol "protocol/;platform/hex.h")
set(allowed_hwaccess "hwaccess/;platform/;protocol/")
set(allowed_models "tools/;boards/profile/;hwaccess/;platform/;protocol/")
set(allowed_shell "shell/;hwaccess/;platform/;protocol/")
set(allowed_views "tools/;shell/;hwaccess/;platform/;protocol/")
set(allowed_app "app/;shell/;tools/;hwaccess/;platform/;protocol/")
set(allowed_driver "driver/;boards/profile/;protocol/;platform/format.h;platform/crc16.h;platform/hex.h")
set(allowed_boardprofile "boards/profile/")
set(allowed_cli "cli/;tools/;hwaccess/;platform/;protocol/")

file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
  ${SOURCE_DIR}/protocol/*.cpp ${SOURCE_DIR}/protocol/*.h
  ${SOURCE_DIR}/platform/*.cpp ${SOURCE_DIR}/platform/*.h
  ${SOURCE_DIR}/hwaccess/*.cpp ${SOURCE_DIR}/hwaccess/*.h
  ${SOURCE_DIR}/tools/*.cpp ${SOURCE_DIR}/tools/*.h
  ${SOURCE_DIR}/shell/*.cpp ${SOURCE_DIR}/shell/*.h
  ${SOURCE_DIR}/app/*.cpp ${SOURCE_DIR}/app/*.h
  ${SOURCE_DIR}/driver/*.cpp ${SOURCE_DIR}/driver/*.h
  ${SOURCE_DIR}/boards/*.cpp ${SOURCE_DIR}/boards/*.h
  ${SOURCE_DIR}/cli/*.cpp ${SOURCE_DIR}/cli/*.h)

set(errors "")
foreach(file IN LISTS files)
  set(qt_allowed FALSE)
  if(file MATCHES "^protocol/")
    set(layer protocol)
  elseif(file MATCHES "^platform/")
    set(layer platform)
  elseif(file MATCHES "^hwaccess/")
    set(layer hwaccess)
  elseif(file MATCHES "^tools/[^/]+/view/")
    set(layer views)
    set(qt_allowed TRUE)
  elseif(file MATCHES "^tools/")
    set(layer models)
  elseif(file MATCHES "^shell/")
    set(layer shell)
    set(qt_allowed TRUE)
  elseif(file MATCHES "^app/")
    set(layer app)
    set(qt_allowed TRUE)
  elseif(file MATCHES "^driver/")
    set(layer driver)
  elseif(file MATCHES "^cli/")
    set(layer cli)
  elseif(file MATCHES "^boards/")
    set(layer boardprofile)
  endif()
  file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]")
  foreach(line IN LISTS includes)
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*[<\"]([^>\"]*)[>\"].*" "\\1" target "${line}")
    if(line MATCHES "include[ \t]*<Q" AND NOT qt_allowed)
      list(APPEND errors "${file}: includes Qt (<${target}>) in a layer without Qt")
      continue()
    endif()
    if(NOT line MATCHES "include[ \t]*\"")
      continue()
    endif()
    # Only paths into the project's own folders are layer includes.
    if(NOT target MATCHES "^(protocol|platform|hwaccess|tools|shell|app|driver|boards|cli)/")
      continue()
    endif()
    set(ok FALSE)
    foreach(prefix IN LISTS allowed_${layer})
      string(FIND "${target}" "${prefix}" at)
      if(at EQUAL 0)
        set(ok TRUE)
      endif()
    endforeach()
    # Tool models never include views; a view includes only its own tool's views.
    if(ok AND target MATCHES "^tools/([^/]+)/view/")
      set(view_tool ${CMAKE_MATCH_1})
      if(layer STREQUAL "models" OR layer STREQUAL "cli")
        set(ok FALSE)
      elseif(layer STREQUAL "views" AND NOT file MATCHES "^tools/${view_tool}/view/")
        set(ok FALSE)
      endif()
    endif()
    if(NOT ok)
      list(APPEND errors "${file}: includes \"${target}\", which its layer (${layer}) may not use")
    endif()
  endforeach()
endforeach()

if(errors)
  list(JOIN errors "\n  " text)
  message(FATAL_ERROR "Layer check failed:\n  ${text}")
endif()
file(WRITE ${STAMP} "ok\n")
