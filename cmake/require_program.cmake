# What the build and its tests need from the machine is required at
# configure time: a tree never registers fewer tests because a tool is
# missing. The stop is one line naming the Debian package (short enough
# that CMake does not wrap it).
#
#   winrepair_missing(<what> <package>)    stops the configure: <what> is
#                                          missing, <package> brings it
#   winrepair_require_program(<variable> <program> <package>)
#                                          sets <variable> to <program>'s
#                                          path (an absolute <program> is
#                                          taken as it is), or stops
include_guard(GLOBAL)

function(winrepair_missing what package)
  message(FATAL_ERROR "${what} is missing: apt-get install ${package}")
endfunction()

function(winrepair_require_program variable program package)
  if(IS_ABSOLUTE "${program}")
    if(NOT EXISTS "${program}" OR IS_DIRECTORY "${program}")
      winrepair_missing(${program} ${package})
    endif()
    set(${variable} ${program} PARENT_SCOPE)
    return()
  endif()
  find_program(${variable} ${program})
  if(NOT ${variable})
    winrepair_missing(${program} ${package})
  endif()
endfunction()
