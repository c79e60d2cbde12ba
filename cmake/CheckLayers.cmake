# Fails when a file of the product includes a layer above its own.
# Run as `cmake -DSOURCE_DIR=<tree> -DSTAMP=<file> -P CheckLayers.cmake`.
cmake_minimum_required(VERSION 3.25)
#
# From the bottom up:
#   include/        the public C header a host builds against (kaleidra/...)
#   platform/       stands in for the operating system; includes nothing of ours
#   model/          the records every layer shares (settings, feeds, items, Log)
#   service/        the service's API
#   engine/         the worker; may use service/
#   ui/             the dialogs; may use service/, never engine/
#   plugin/         the handler, the application object, the settings' persistence
# host/ and stub/ are programs of their own: the host sees the public header
# and the health record it reads (model/), the stand-in service only itself
# (platform/ serves both).

set(allowed_platform platform)
set(allowed_api api)
set(allowed_model platform api model generated)
set(allowed_service platform api model generated service)
set(allowed_engine platform api model generated service engine)
set(allowed_ui platform api model generated service ui)
set(allowed_top platform api model generated service engine ui top)
set(allowed_host platform api model generated host)
set(allowed_stub platform stub)

# The layer a path (relative to the tree) belongs to.
function(layer_of path out)
  if(path MATCHES "^(include/)?kaleidra/")
    set(${out} api PARENT_SCOPE)
  elseif(path MATCHES "^model/")
    set(${out} model PARENT_SCOPE)
  elseif(path MATCHES "^plugin/")
    set(${out} top PARENT_SCOPE)
  elseif(path MATCHES "^(platform|service|engine|ui|host|stub|generated)/")
    set(${out} ${CMAKE_MATCH_1} PARENT_SCOPE)
  else()
    set(${out} "" PARENT_SCOPE)
  endif()
endfunction()

set(violations "")
foreach(folder include platform model service engine ui plugin host stub)
  file(GLOB_RECURSE files RELATIVE ${SOURCE_DIR}
       ${SOURCE_DIR}/${folder}/*.h ${SOURCE_DIR}/${folder}/*.cpp ${SOURCE_DIR}/${folder}/*.c)
  foreach(file IN LISTS files)
    layer_of(${file} own)
    file(STRINGS ${SOURCE_DIR}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
      layer_of(${included} target)
      # A name without a folder is the file's neighbour.
      if(target STREQUAL "" OR target IN_LIST allowed_${own})
        continue()
      endif()
      string(APPEND violations "  ${file} (${own}) includes ${included} (${target})\n")
    endforeach()
  endforeach()
endforeach()

if(violations)
  message(FATAL_ERROR "Includes that run up the layers:\n${violations}")
endif()
file(WRITE ${STAMP} "layers checked\n")
