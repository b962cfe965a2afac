# Checks what the shipped programs are made of, on the built binaries:
#  - neither qelvo nor qelvo-cli holds the simulator's side (the controller model, the test
#    doubles): no symbol of theirs in `nm -C`;
#  - qelvo-cli holds no window: no frm class but the never-shown poll carrier frmTimer1 (a
#    plain QObject), and `ldd` lists neither Qt Widgets nor Qt PrintSupport.
#  - qelvo-watchd (-DWATCHD) is the same: no sim/ symbol, no window, no Widgets or PrintSupport;
#    and it holds only the layers it uses: nothing of the program's monitor (its store and its
#    poll, frmTimer1) nor of the graph (the colour table).
# In a sanitizer build (-DSANITIZE=ON) AddressSanitizer adds an indicator symbol
# "__odr_asan.<mangled name>" for each global, which nm cannot demangle; each stands for a
# global that is listed under its own name as well, so those lines are left out.
# Run: cmake -DQELVO=<qelvo> -DCLI=<qelvo-cli> [-DWATCHD=<qelvo-watchd>] [-DSANITIZE=ON] -P check_headless.cmake
cmake_minimum_required(VERSION 3.25)
if(NOT QELVO OR NOT CLI)
  message(FATAL_ERROR "usage: cmake -DQELVO=<qelvo> -DCLI=<qelvo-cli> -P check_headless.cmake")
endif()
find_program(NM nm REQUIRED)
find_program(LDD ldd REQUIRED)

set(_bad "")
# The lines of `tool args` that match regex, into out.
function(matching_lines out regex)
  execute_process(COMMAND ${ARGN} OUTPUT_VARIABLE _text RESULT_VARIABLE _rc ERROR_VARIABLE _err)
  if(NOT _rc EQUAL 0)
    message(FATAL_ERROR "${ARGN} failed: ${_err}")
  endif()
  # A list splits at ";" outside square brackets: neither may come from a symbol.
  string(REPLACE ";" "," _text "${_text}")
  string(REPLACE "[" "(" _text "${_text}")
  string(REPLACE "]" ")" _text "${_text}")
  string(REGEX REPLACE "\n" ";" _lines "${_text}")
  list(FILTER _lines INCLUDE REGEX "${regex}")
  if(SANITIZE)
    list(FILTER _lines EXCLUDE REGEX "__odr_asan")
  endif()
  list(TRANSFORM _lines REPLACE "^[0-9a-f]* *[A-Za-z] " "") # nm's address and kind
  set(${out} ${_lines} PARENT_SCOPE)
endfunction()

set(_sim "CtrlModel|SimulatedPort|ScriptedDialogs|VirtualClock|RecordingPort|RecordingProcess|RecordingPrograms|RecordingHttp|PictureCheck")
foreach(_bin ${QELVO} ${CLI} ${WATCHD})
  get_filename_component(_name ${_bin} NAME)
  matching_lines(_found "${_sim}" ${NM} -C ${_bin})
  list(LENGTH _found _n)
  if(_n GREATER 0)
    list(GET _found 0 _first)
    list(APPEND _bad "${_name}: ${_n} symbol(s) of sim/, such as ${_first}")
  endif()
endforeach()

foreach(_bin ${CLI} ${WATCHD})
get_filename_component(_cli ${_bin} NAME)
matching_lines(_frm "frm[A-Za-z]+[0-9]*" ${NM} -C ${_bin})
set(_windows "")
foreach(_line ${_frm})
  string(REGEX MATCHALL "frm[A-Za-z]+[0-9]*" _names "${_line}")
  list(REMOVE_ITEM _names frmTimer1)
  if(_names)
    list(APPEND _windows "${_line}")
  endif()
endforeach()
list(LENGTH _windows _n)
if(_n GREATER 0)
  list(GET _windows 0 _first)
  list(APPEND _bad "${_cli}: ${_n} symbol(s) of windows, such as ${_first}")
endif()
matching_lines(_libs "libQt6(Widgets|PrintSupport)" ${LDD} ${_bin})
foreach(_line ${_libs})
  string(STRIP "${_line}" _line)
  list(APPEND _bad "${_cli} loads ${_line}")
endforeach()
endforeach()

if(WATCHD)
  get_filename_component(_name ${WATCHD} NAME)
  matching_lines(_others "frmTimer1|monitorEvents|LoadColorFile" ${NM} -C ${WATCHD})
  list(LENGTH _others _n)
  if(_n GREATER 0)
    list(GET _others 0 _first)
    list(APPEND _bad "${_name}: ${_n} symbol(s) of the monitor or the graph, such as ${_first}")
  endif()
endif()

list(LENGTH _bad _nbad)
if(_nbad GREATER 0)
  list(JOIN _bad "\n  " _text)
  message(FATAL_ERROR "${_nbad} problem(s) in the shipped programs:\n  ${_text}")
endif()
message(STATUS "headless: no sim/ symbols in the programs; qelvo-cli ${WATCHD} have no window (frmTimer1 is the poll's carrier) and load neither Qt Widgets nor Qt PrintSupport")
