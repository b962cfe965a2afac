# cmake -DBUILD=<build folder> -DSTAGE=<empty folder> -DVERSION=<x.y.z> -DPREFIX=<install prefix>
#       -DSYSCONFDIR=<its /etc> [-DWATCHD=ON] -P check_install.cmake
# The installed tree as a desktop reads it: exactly the program, the command-line tool, the
# simulator, the desktop entry, the AppStream metadata, the icons (each PNG of the size
# its folder names), the three manual pages and the bash completion of qelvo-cli, and with
# WATCHD the fleet watcher, its unit, its user, its configuration and its page; the
# validators accept the entry and the metadata; man renders each page; the installed
# programs print their versions without a display; and the
# completion, sourced into bash, completes qelvo-cli's commands, options and COM names.
# The tree is installed under STAGE as DESTDIR, as the package is, so that a file installed
# to /etc lands there too.
cmake_minimum_required(VERSION 3.25)
set(id com.orvanelle.Qelvo)
file(REMOVE_RECURSE "${STAGE}")
set(ENV{DESTDIR} "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD}"
                RESULT_VARIABLE rc OUTPUT_QUIET ERROR_VARIABLE err)
unset(ENV{DESTDIR})
if(rc)
  message(FATAL_ERROR "cmake --install failed: ${err}")
endif()
string(REGEX REPLACE "^/" "" p "${PREFIX}")
string(REGEX REPLACE "^/" "" etc "${SYSCONFDIR}")
set(root "${STAGE}/${p}")

set(sizes 16 24 32 48 64 128 256)
set(pages qelvo qelvo-cli qelvo-ctrlsim)
set(expected bin/qelvo bin/qelvo-cli bin/qelvo-ctrlsim share/applications/${id}.desktop
    share/metainfo/${id}.metainfo.xml share/icons/hicolor/scalable/apps/${id}.svg
    share/bash-completion/completions/qelvo-cli)
foreach(s ${sizes})
  list(APPEND expected share/icons/hicolor/${s}x${s}/apps/${id}.png)
endforeach()
if(WATCHD)
  list(APPEND pages qelvo-watchd)
  list(APPEND expected bin/qelvo-watchd lib/systemd/system/qelvo-watchd.service lib/sysusers.d/qelvo.conf)
endif()
foreach(page ${pages})
  list(APPEND expected share/man/man1/${page}.1.gz)
endforeach()
list(TRANSFORM expected PREPEND "${p}/")
if(WATCHD)
  list(APPEND expected ${etc}/qelvo/watchd.ini)
endif()
file(GLOB_RECURSE installed RELATIVE "${STAGE}" "${STAGE}/*")
list(SORT installed)
list(SORT expected)
if(NOT installed STREQUAL expected)
  message(FATAL_ERROR "installed:\n  ${installed}\nexpected:\n  ${expected}")
endif()

# A PNG's width and height are the two big-endian words at byte 16.
foreach(s ${sizes})
  file(READ "${root}/share/icons/hicolor/${s}x${s}/apps/${id}.png" head OFFSET 16 LIMIT 8 HEX)
  string(SUBSTRING "${head}" 0 8 wh)
  string(SUBSTRING "${head}" 8 8 hh)
  math(EXPR w "0x${wh}")
  math(EXPR h "0x${hh}")
  if(NOT w EQUAL s OR NOT h EQUAL s)
    message(FATAL_ERROR "the ${s}x${s} icon is ${w}x${h}")
  endif()
endforeach()

file(STRINGS "${root}/share/applications/${id}.desktop" entry)
foreach(line "Exec=qelvo" "Icon=${id}" "Name=Qelvo")
  if(NOT line IN_LIST entry)
    message(FATAL_ERROR "the desktop entry lacks ${line}")
  endif()
endforeach()
if(NOT entry MATCHES "Name\\[ja\\]=")
  message(FATAL_ERROR "the desktop entry has no Japanese name")
endif()

find_program(DESKTOP_VALIDATE desktop-file-validate)
find_program(APPSTREAMCLI appstreamcli)
if(NOT DESKTOP_VALIDATE OR NOT APPSTREAMCLI)
  message(FATAL_ERROR "desktop-file-validate or appstreamcli missing: apt-get install desktop-file-utils appstream")
endif()
execute_process(COMMAND "${DESKTOP_VALIDATE}" "${root}/share/applications/${id}.desktop"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc OR out)
  message(FATAL_ERROR "desktop-file-validate: ${out}")
endif()
execute_process(COMMAND "${APPSTREAMCLI}" validate --no-net "${root}/share/metainfo/${id}.metainfo.xml"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(rc)
  message(FATAL_ERROR "appstreamcli validate: ${out}")
endif()

set(programs qelvo qelvo-cli qelvo-ctrlsim)
if(WATCHD)
  list(APPEND programs qelvo-watchd)
endif()
foreach(program ${programs})
  execute_process(COMMAND env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "${root}/bin/${program}" --version
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc OR NOT out STREQUAL "${program} ${VERSION}\n")
    message(FATAL_ERROR "installed ${program} --version: exit ${rc}, '${out}' ${err}")
  endif()
endforeach()
# Each manual page renders without a warning and names its program and the version.
find_program(MAN man)
if(MAN)
  foreach(page qelvo qelvo-cli qelvo-ctrlsim)
    execute_process(COMMAND env MANWIDTH=80 MAN_KEEP_FORMATTING= "${MAN}" --warnings -l
                            "${root}/share/man/man1/${page}.1.gz"
                    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(rc OR err OR NOT out MATCHES "NAME\n +${page} +- " OR NOT out MATCHES "Qelvo ${VERSION}")
      message(FATAL_ERROR "man -l ${page}.1.gz: exit ${rc}, ${err}\n${out}")
    endif()
  endforeach()
else()
  message(STATUS "man is missing: the manual pages were not rendered")
endif()

# The service's unit starts the installed watcher on the installed configuration, which the
# watcher accepts; every key the example configuration shows, written or commented out, is
# on the manual page.
if(WATCHD)
  file(STRINGS "${root}/lib/systemd/system/qelvo-watchd.service" exec REGEX "^ExecStart=")
  if(NOT exec STREQUAL "ExecStart=${PREFIX}/bin/qelvo-watchd ${SYSCONFDIR}/qelvo/watchd.ini")
    message(FATAL_ERROR "the unit's ${exec} is not the installed program on the installed configuration")
  endif()
  execute_process(COMMAND env "XDG_CONFIG_HOME=${STAGE}-home" "${root}/bin/qelvo-watchd" --check "${STAGE}/${etc}/qelvo/watchd.ini"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc)
    message(FATAL_ERROR "qelvo-watchd --check on the installed watchd.ini: exit ${rc}\n${out}${err}")
  endif()
  if(MAN)
    execute_process(COMMAND env MANWIDTH=200 "${MAN}" -l "${root}/share/man/man1/qelvo-watchd.1.gz" OUTPUT_VARIABLE page)
    file(STRINGS "${STAGE}/${etc}/qelvo/watchd.ini" keys REGEX "^;?[a-z_]+=")
    foreach(line ${keys})
      string(REGEX REPLACE "^;?([a-z_]+)=.*" "\\1" key "${line}")
      if(NOT page MATCHES "\n +${key}[ \n]")
        message(FATAL_ERROR "watchd.ini shows ${key}, which the manual page does not tell")
      endif()
    endforeach()
  endif()
endif()

# The completion as bash uses it: the installed qelvo-cli on the PATH, and a data folder
# whose ports/COM42 is bound, so that 'qelvo-cli ports' names it.
set(home "${STAGE}-home")
file(REMOVE_RECURSE "${home}")
file(MAKE_DIRECTORY "${home}/Orvanelle/Qelvo/ports")
file(CREATE_LINK /dev/null "${home}/Orvanelle/Qelvo/ports/COM42" SYMBOLIC)
# Beside them a folder named like a .qvd file, a .qvd file and a file of another kind.
file(MAKE_DIRECTORY "${home}/files/old.qvd")
file(WRITE "${home}/files/new.qvd" "")
file(WRITE "${home}/files/notes.txt" "")
set(script [=[
source "$1"
try() { COMP_WORDS=("$@"); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); COMPREPLY=(); _qelvo_cli; echo "$*=${COMPREPLY[*]}"; }
try qelvo-cli re
try qelvo-cli --timeout 5 mon
try qelvo-cli diff --js
try qelvo-cli read com4
try qelvo-cli sheet x.qvd --format ""
try qelvo-cli au
try qelvo-cli audit --j
cd "$2/files"
try qelvo-cli write COM1 ""
]=])
execute_process(COMMAND env -u DISPLAY -u WAYLAND_DISPLAY "PATH=${root}/bin:$ENV{PATH}" "XDG_CONFIG_HOME=${home}"
                        bash -c "${script}" completion "${root}/share/bash-completion/completions/qelvo-cli" "${home}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
set(want "qelvo-cli re=read\nqelvo-cli --timeout 5 mon=monitor\nqelvo-cli diff --js=--json\nqelvo-cli read com4=COM42\nqelvo-cli sheet x.qvd --format =pdf html\nqelvo-cli au=audit\nqelvo-cli audit --j=--json\nqelvo-cli write COM1 =old.qvd new.qvd\n")
if(rc OR err OR NOT out STREQUAL want)
  message(FATAL_ERROR "bash completion: exit ${rc} ${err}\ngot:\n${out}expected:\n${want}")
endif()
file(REMOVE_RECURSE "${home}")
message(STATUS "installed tree of ${id} ${VERSION}: ${installed}")
