# Installation: the two shared libraries, their public headers, the CMake
# package ProxyHelper (imported targets ProxyHelper::proxyhelper and
# ProxyHelper::quillon) and pkg-config files. Only the public interface is
# installed: the internals (proxyhelper_objects, proxyhelper_internal) stay in
# the build tree and never enter the export set.
include(CMakePackageConfigHelpers)

# The same names inside this build, for projects that add it as a subdirectory.
add_library(ProxyHelper::quillon ALIAS quillon)
add_library(ProxyHelper::proxyhelper ALIAS proxyhelper)

set(PROXYHELPER_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/ProxyHelper
  CACHE STRING "Where the CMake package files go, relative to the install prefix")
set(PROXYHELPER_INSTALL_PCDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  CACHE STRING "Where the pkg-config files go, relative to the install prefix")

# Both libraries link their third-party dependencies PRIVATE: consumers of a
# shared object need none of them, so the exported targets carry only
# proxyhelper -> quillon.
install(TARGETS quillon proxyhelper EXPORT ProxyHelperTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Public headers keep their folders, so "facade/ProxyHelper.h" and
# "hostlib/quillon.h" resolve the same way installed as in the source tree.
install(FILES
  ${PROJECT_SOURCE_DIR}/hostlib/quillon.h ${PROJECT_SOURCE_DIR}/hostlib/quillon_export.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/proxyhelper/hostlib)
install(FILES
  ${PROJECT_SOURCE_DIR}/facade/ProxyHelper.h ${PROJECT_SOURCE_DIR}/facade/ProxyHelperControl.h
  ${PROJECT_SOURCE_DIR}/facade/ProxyHelperExport.h ${PROJECT_SOURCE_DIR}/facade/Records.h
  ${PROJECT_SOURCE_DIR}/facade/ConfigItems.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/proxyhelper/facade)
# The records' earlier home, a forwarding header for applications that
# include it.
install(FILES ${PROJECT_SOURCE_DIR}/protocol/Records.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/proxyhelper/protocol)

install(EXPORT ProxyHelperTargets
  NAMESPACE ProxyHelper::
  FILE ProxyHelperTargets.cmake
  DESTINATION ${PROXYHELPER_INSTALL_CMAKEDIR})
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/ProxyHelperConfig.cmake.in
  ${PROJECT_BINARY_DIR}/ProxyHelperConfig.cmake
  INSTALL_DESTINATION ${PROXYHELPER_INSTALL_CMAKEDIR})
# The shared objects' SONAME carries the major version, so only that promises
# compatibility.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/ProxyHelperConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/ProxyHelperConfig.cmake
  ${PROJECT_BINARY_DIR}/ProxyHelperConfigVersion.cmake
  DESTINATION ${PROXYHELPER_INSTALL_CMAKEDIR})

# pkg-config files find the prefix from their own location, so a tree
# installed with `cmake --install --prefix DIR` (or unpacked from a package)
# can be moved without editing them. Absolute install dirs are used as given.
function(proxyhelper_pc_path out dir)
  if(IS_ABSOLUTE "${dir}")
    set(${out} "${dir}" PARENT_SCOPE)
  else()
    set(${out} "\${prefix}/${dir}" PARENT_SCOPE)
  endif()
endfunction()
if(IS_ABSOLUTE "${PROXYHELPER_INSTALL_PCDIR}")
  set(PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH pc_up "/prefix/${PROXYHELPER_INSTALL_PCDIR}" "/prefix")
  string(REGEX REPLACE "/$" "" pc_up "${pc_up}")
  set(PC_PREFIX "\${pcfiledir}/${pc_up}")
endif()
# What a static link would add; the shared objects already carry it.
if(WIN32)
  set(PC_PROXYHELPER_REQUIRES_PRIVATE "libcrypto++")
  set(PC_PROXYHELPER_LIBS_PRIVATE "-lwininet")
  set(PC_QUILLON_LIBS_PRIVATE "-lbz2 -liphlpapi -lws2_32 -ladvapi32")
else()
  set(PC_PROXYHELPER_REQUIRES_PRIVATE "libcurl libcrypto++")
  set(PC_PROXYHELPER_LIBS_PRIVATE "-pthread")
  # bzip2 ships no pkg-config file.
  set(PC_QUILLON_LIBS_PRIVATE "-lbz2 -pthread")
endif()
proxyhelper_pc_path(PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
proxyhelper_pc_path(PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
foreach(pc quillon proxyhelper)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${PROXYHELPER_INSTALL_PCDIR})
endforeach()

# Shell completion for the command-line client, where bash-completion and
# Debian's zsh look for it.
if(TARGET proxyhelper-cli)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/completions/proxyhelper.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME proxyhelper)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/completions/_proxyhelper
    DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions)
  # connect as a system service, and the example hooks beside the docs.
  install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/systemd/proxyhelper-connect@.service
    DESTINATION lib/systemd/system)
  install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/cli/hooks/nmcli-vpn ${PROJECT_SOURCE_DIR}/tools/cli/hooks/pppd-pptp
    DESTINATION ${CMAKE_INSTALL_DOCDIR}/hooks)
  install(FILES ${PROJECT_SOURCE_DIR}/tools/cli/hooks/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/hooks)
endif()
