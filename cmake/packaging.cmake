# Installing the controller, and its packages (a .tar.gz and a .deb, made
# by the "package" target in the build directory). Packages come from the
# static build alone: they promise to need nothing but bash.

if(ZORVANE_STATIC)
  target_link_options(zorvane-controller PRIVATE -static -s)
endif()

install(TARGETS zorvane-controller RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(NOT ZORVANE_STATIC)
  return()
endif()

set(CPACK_GENERATOR "TGZ;DEB")
set(CPACK_PACKAGE_NAME zorvane-controller)
set(CPACK_PACKAGE_VENDOR "Zorvane")
set(CPACK_PACKAGE_CONTACT "Zorvane maintainers <maintainers@zorvane.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "process supervisor for Zorvane development containers")
# One line of the .deb's long description per line here.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
  "zorvane-controller runs inside a development container built from a"
  "Zorvane stack. It runs the stack's preparation command, starts the"
  "server, polls the source directories and, on each change to a matching"
  "file, interrupts the previous run and starts the on-change command."
  "It is configured by ZORVANE_ environment variables, is statically"
  "linked, and needs nothing but /bin/bash.")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "bash")
# Debian's name for the machine the binary is built for. CPack asks dpkg,
# which names the build machine: right for a native build, wrong for a
# cross build.
if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE arm64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|amd64|AMD64)$")
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE amd64)
elseif(CMAKE_CROSSCOMPILING)
  message(FATAL_ERROR
    "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}")
endif()
# The .tar.gz of amd64 keeps the name it has always had
# (zorvane-controller-<version>-Linux.tar.gz); any other machine's names it.
if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE STREQUAL "amd64")
  set(CPACK_SYSTEM_NAME ${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Keep build directories and the repository out of a source package.
set(CPACK_SOURCE_GENERATOR "TGZ")
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git" "/build[^/]*/")
include(CPack)
