# What an installation holds beside the two programs, and the Debian package
# built from it by CPack. The package is for the architecture being built
# for: a build with the board's toolchain file yields an armhf package.

option(QOR_INSTALL_SERVICE "Install the systemd unit and the logrotate rule" ON)

install(FILES ${PROJECT_SOURCE_DIR}/man/qortimer.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/qorlisten.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/man/qorplan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/examples/timers.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(QOR_INSTALL_SERVICE)
  # The unit names the installed program by its full path.
  configure_file(${PROJECT_SOURCE_DIR}/contrib/qortimer.service.in
                 ${PROJECT_BINARY_DIR}/qortimer.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qortimer.service DESTINATION lib/systemd/system)
  # GNUInstallDirs puts the configuration of a /usr installation in /etc, the
  # only place logrotate reads; other prefixes keep it under the prefix.
  if(CMAKE_INSTALL_FULL_SYSCONFDIR STREQUAL "/etc")
    set(qor_sysconfdir /etc)
  else()
    set(qor_sysconfdir ${CMAKE_INSTALL_SYSCONFDIR})
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/qortimer.logrotate
          DESTINATION ${qor_sysconfdir}/logrotate.d RENAME qortimer)
  install(DIRECTORY DESTINATION ${qor_sysconfdir}/qortimer)
endif()

# The Debian name of the target architecture.
function(qor_debian_arch out)
  set(triplet "${CMAKE_LIBRARY_ARCHITECTURE}")
  string(TOLOWER "${CMAKE_SYSTEM_PROCESSOR}" cpu)
  if(NOT CMAKE_CROSSCOMPILING)
    find_program(QOR_DPKG dpkg)
    if(QOR_DPKG)
      execute_process(COMMAND ${QOR_DPKG} --print-architecture
                      OUTPUT_VARIABLE arch OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE rc)
      if(rc EQUAL 0 AND arch)
        set(${out} ${arch} PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  if(triplet MATCHES "gnueabihf$")
    set(arch armhf)
  elseif(triplet MATCHES "gnueabi$")
    set(arch armel)
  elseif(cpu MATCHES "^(aarch64|arm64)")
    set(arch arm64)
  elseif(cpu MATCHES "^arm")
    set(arch armhf)  # the board: 32-bit ARM, hard float
  elseif(cpu MATCHES "^(x86_64|amd64)$")
    set(arch amd64)
  elseif(cpu MATCHES "^i[3-6]86$")
    set(arch i386)
  else()
    message(FATAL_ERROR "No Debian architecture known for ${CMAKE_SYSTEM_PROCESSOR}; "
                        "set CPACK_DEBIAN_PACKAGE_ARCHITECTURE")
  endif()
  set(${out} ${arch} PARENT_SCOPE)
endfunction()

if(NOT CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
  qor_debian_arch(CPACK_DEBIAN_PACKAGE_ARCHITECTURE)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qortimer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "qortimer maintainers <root@localhost>" CACHE STRING
    "Maintainer field of the package")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "time switch that broadcasts ON/OFF commands by a daily schedule")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "qortimer reads daily ON intervals for device/channel pairs and broadcasts\n\
a hashed ON or OFF command for each pair as a UDP datagram to port 1962,\n\
at once on a change and on a fixed cadence after it. qorlisten receives\n\
and verifies those commands. Includes a systemd unit and a logrotate rule;\n\
the service starts once /etc/qortimer/timers.txt exists and is enabled.")
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# dpkg-shlibdeps reads the dependencies off the binaries, but only for the
# host's own architecture; a cross build names them.
find_program(QOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(NOT CMAKE_CROSSCOMPILING AND QOR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 11), libgcc-s1")
endif()
if(QOR_INSTALL_SERVICE AND qor_sysconfdir STREQUAL "/etc")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/logrotate.d/qortimer\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
endif()
include(CPack)
