# The optional parts of the build: what is built only where its dependencies
# are. Each part has a setting KELVOR_<NAME> in the cache:
#   AUTO  (the default) built when what it needs is found; looked for anew at
#         every configure, so that a package installed later is taken up by
#         the next build, never remembered as missing
#   ON    needed: a missing dependency stops the configure
#   OFF   left out
# KELVOR_REQUIRE_ALL=ON makes every part that belongs to this kind of build
# needed, whatever its own setting: the test command configures so, so that a
# part, and its tests, never drop out of a test run without a word.
#
#   kelvor_part(NAME "what it is"
#               [WHEN <condition>...]   where the part belongs (default: always)
#               FOUND <variable>...     true when its dependencies are there
#               NEEDS "<packages>")     the Debian packages that bring them
#
# sets the variable KELVOR_<NAME> to ON or OFF for the rest of the configure
# (it hides the setting of the same name in the cache), and records the part
# for the summary that kelvor_parts_summary() prints at the end of the
# configure and writes to kelvor-parts.txt in the build folder.
option(KELVOR_REQUIRE_ALL "Every optional part is needed: a missing dependency stops the configure" OFF)

function(kelvor_part name what)
  cmake_parse_arguments(PARSE_ARGV 2 ARG "" "NEEDS" "WHEN;FOUND")
  set(setting KELVOR_${name})
  set(${setting} AUTO CACHE STRING "${what}: AUTO (where found), ON (needed) or OFF")
  set_property(CACHE ${setting} PROPERTY STRINGS AUTO ON OFF)
  string(TOUPPER "$CACHE{${setting}}" want)
  if(want MATCHES "^(1|ON|YES|TRUE|Y)$")
    set(want ON)
  elseif(want MATCHES "^(0|OFF|NO|FALSE|N)$")
    set(want OFF)
  elseif(NOT want STREQUAL "AUTO")
    message(FATAL_ERROR "${setting} is '$CACHE{${setting}}': AUTO, ON or OFF")
  endif()

  set(belongs ON)
  if(ARG_WHEN)
    if(NOT (${ARG_WHEN}))
      set(belongs OFF)
    endif()
  endif()
  set(missing)
  foreach(variable ${ARG_FOUND})
    if(NOT ${variable})
      list(APPEND missing "${variable} is false")
    endif()
  endforeach()
  string(REPLACE ";" ", " missing "${missing}")

  if(NOT belongs)
    set(built OFF)
    set(why "not part of this build")
  elseif(KELVOR_REQUIRE_ALL OR want STREQUAL "ON")
    if(missing)
      set(by "${setting}=ON")
      if(KELVOR_REQUIRE_ALL)
        set(by "KELVOR_REQUIRE_ALL=ON")
      endif()
      message(FATAL_ERROR "${what} cannot be built (${missing}), and ${by} needs it. "
        "Debian: apt-get install ${ARG_NEEDS}")
    endif()
    set(built ON)
    set(why "needed")
  elseif(want STREQUAL "OFF")
    set(built OFF)
    set(why "${setting}=OFF")
  elseif(missing)
    set(built OFF)
    set(why "${missing}, Debian: ${ARG_NEEDS}")
  else()
    set(built ON)
    set(why "found")
  endif()
  set(${setting} ${built} PARENT_SCOPE)
  set_property(GLOBAL APPEND PROPERTY KELVOR_PARTS "${setting}|${built}|${what}|${why}")
endfunction()

# Prints the parts, built or not and why, and writes them (one part a line:
# setting, ON or OFF, reason) to kelvor-parts.txt in the build folder.
function(kelvor_parts_summary)
  get_property(parts GLOBAL PROPERTY KELVOR_PARTS)
  set(lines)
  message(STATUS "Optional parts:")
  foreach(part ${parts})
    string(REPLACE "|" ";" fields "${part}")
    list(GET fields 0 setting)
    list(GET fields 1 built)
    list(GET fields 2 what)
    list(GET fields 3 why)
    set(state "built    ")
    if(NOT built)
      set(state "left out")
    endif()
    message(STATUS "  ${state} ${what} (${setting}: ${why})")
    string(APPEND lines "${setting} ${built} ${why}\n")
  endforeach()
  file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/kelvor-parts.txt CONTENT "${lines}" @ONLY)
endfunction()
