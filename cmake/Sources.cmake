# The library's sources, listed once: the build of the shared libraries and
# the fuzz build (which compiles its own instrumented copy) both take them
# from here, so a new source folder is added in one place.
#
#   proxyhelper_sources(ROOT <source root> QUILLON <var> WIRE <var> PROXYHELPER <var>)
#
# WIRE is the codec (wire/), a library of its own that the reference service
# links too; PROXYHELPER is the rest of the client.
function(proxyhelper_sources)
  cmake_parse_arguments(ARG "" "ROOT;QUILLON;WIRE;PROXYHELPER" "" ${ARGN})
  file(GLOB quillon CONFIGURE_DEPENDS ${ARG_ROOT}/hostlib/*.cpp)
  file(GLOB wire CONFIGURE_DEPENDS ${ARG_ROOT}/wire/*.cpp)
  set(folders facade service transport protection platform)
  set(globs)
  foreach(folder ${folders})
    list(APPEND globs ${ARG_ROOT}/${folder}/*.cpp)
  endforeach()
  file(GLOB proxyhelper CONFIGURE_DEPENDS ${globs})
  set(${ARG_QUILLON} ${quillon} PARENT_SCOPE)
  set(${ARG_WIRE} ${wire} PARENT_SCOPE)
  set(${ARG_PROXYHELPER} ${proxyhelper} PARENT_SCOPE)
endfunction()
