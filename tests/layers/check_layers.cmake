# Checks that every include in src/ points down the layers, never up:
#  - each folder of src/ has a rank, and a file may include only from its own folder or
#    from a folder of lower rank;
#  - below app/, only a window (frm*) or a control (MSFlexGrid) includes a window's header;
#  - nothing in src/ includes from tools/ or reaches out of src/ with "../";
#  - nothing in src/ includes the simulator's side (sim/: the controller model and the test
#    doubles), which stands outside the product.
# The build refuses the same includes (each layer's library sees only its own folder and the
# ones below, and no library of src/ sees sim/); this check names every one at once.
# Run: cmake -DSRC=<src folder> -P check_layers.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT SRC)
  message(FATAL_ERROR "usage: cmake -DSRC=<src folder> -P check_layers.cmake")
endif()

# From the bottom up; docs/architecture.md shows the same table.
set(_ranks
  platform  0   # services: clock, timers, dialogs, serial ports, files, paths
  core      1   # process-wide state, the application files, window registration
  settings  2   # the memory image, conversions, the user data file, exports
  link      3   # port, protocol, exchanges, transfer, position output, link state
  monitor   4   # the monitor's store and poll, and its windows
  logfiler  5   # the log filer's settings and run, and its windows
  graph     6   # the colour table, the graph and trend windows and the colour settings
  fleet     7   # the fleet watcher's headless parts: MQTT client, configuration
  editor    8   # the settings grid and the editor window
  app       9   # frame, dispatcher, start-up and shut-down, settings dialog
)
# The folders of sim/, as an include names them.
set(_sim ctrlmodel doubles)
set(_folders "")
list(LENGTH _ranks _n)
math(EXPR _last "${_n} - 1")
foreach(_i RANGE 0 ${_last} 2)
  math(EXPR _j "${_i} + 1")
  list(GET _ranks ${_i} _f)
  list(GET _ranks ${_j} _r)
  set(_rank_${_f} ${_r})
  list(APPEND _folders ${_f})
endforeach()

file(GLOB_RECURSE _files RELATIVE ${SRC} ${SRC}/*.h ${SRC}/*.cpp ${SRC}/*.h.in)
set(_bad "")
set(_count 0)
foreach(_file ${_files})
  string(REGEX MATCH "^[^/]+" _from "${_file}")
  if(_from STREQUAL _file)
    # Files at the top of src/: main.cpp sits with the app, the version header below all.
    if(_file STREQUAL "main.cpp")
      set(_from app)
    else()
      continue()
    endif()
  endif()
  if(NOT DEFINED _rank_${_from})
    list(APPEND _bad "${_file}: the folder ${_from}/ has no rank in the layer table")
    continue()
  endif()
  get_filename_component(_name ${_file} NAME)
  set(_is_window FALSE)
  if(_name MATCHES "^(frm|MSFlexGrid)")
    set(_is_window TRUE)
  endif()
  file(STRINGS ${SRC}/${_file} _lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
  foreach(_line ${_lines})
    string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]+)\".*" "\\1" _inc "${_line}")
    math(EXPR _count "${_count} + 1")
    if(_inc MATCHES "^\\.\\./" OR _inc MATCHES "^tools/")
      list(APPEND _bad "${_file}: includes ${_inc}, outside src/")
      continue()
    endif()
    string(REGEX MATCH "^[^/]+/" _to "${_inc}")
    if(NOT _to)
      continue() # a header of the same folder, or the generated version header
    endif()
    string(REGEX REPLACE "/$" "" _to "${_to}")
    if(_to IN_LIST _sim)
      list(APPEND _bad "${_file}: includes ${_inc} from sim/, which the product does not contain")
      continue()
    endif()
    if(NOT DEFINED _rank_${_to})
      list(APPEND _bad "${_file}: includes ${_inc} from a folder without a rank")
      continue()
    endif()
    if(_rank_${_to} GREATER _rank_${_from})
      list(APPEND _bad "${_file} (${_from}, rank ${_rank_${_from}}) includes ${_inc} (${_to}, rank ${_rank_${_to}})")
    endif()
    get_filename_component(_incname ${_inc} NAME)
    if(_incname MATCHES "^frm" AND NOT _is_window AND NOT _from STREQUAL "app")
      list(APPEND _bad "${_file} is no window and includes the window header ${_inc}")
    endif()
  endforeach()
endforeach()

list(LENGTH _bad _nbad)
if(_nbad GREATER 0)
  list(JOIN _bad "\n  " _text)
  message(FATAL_ERROR "${_nbad} include(s) point up the layers:\n  ${_text}")
endif()
message(STATUS "layers: ${_count} includes in src/ checked, none points up")
