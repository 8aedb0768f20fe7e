# Debian package (cpack -G DEB): one package "proxyhelper" with the two shared
# libraries, their headers, the CMake and pkg-config files, the command-line
# client and the reference account service. Runtime dependencies are declared
# by dpkg-shlibdeps (package dpkg-dev) from what the binaries link.
#
#   cmake --preset release -DCMAKE_INSTALL_PREFIX=/usr
#   cmake --build --preset release
#   cpack --config build/release/CPackConfig.cmake -G DEB -B build/release/package
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

set(CPACK_PACKAGE_NAME proxyhelper)
set(CPACK_PACKAGE_VENDOR "proxyhelper developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "client library of the VPN account service, with CLI and reference service")
set(CPACK_PACKAGE_DESCRIPTION
  "proxyhelper is the C++ client library that a VPN client application uses to talk to its account service: \
sign in and out, lease dial-up credentials, read the account state and pushed configuration, fetch the VPN \
server catalogue and online ratio, register and recharge. The package holds libproxyhelper and the host \
utility library libquillon with headers, CMake and pkg-config files, the command-line client proxyhelper and \
the reference account service proxyhelper-devserver.")
# A .deb where dpkg lives; an archive of the install tree elsewhere.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  set(CPACK_GENERATOR DEB)
else()
  set(CPACK_GENERATOR ZIP)
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# No source package: the source tree holds build directories of its own.
set(CPACK_SOURCE_IGNORE_FILES "/\\.git/" "/build[^/]*/" "/out/")

set(PROXYHELPER_DEB_MAINTAINER "proxyhelper developers <maintainers@proxyhelper.example>"
  CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${PROXYHELPER_DEB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# A shlibs file for packages built against ours, and the ldconfig trigger.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The pkg-config file asks for libcurl and Crypto++ at build time only.
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "pkg-config, libcurl4-openssl-dev | libcurl-dev, libcrypto++-dev")

include(CPack)
