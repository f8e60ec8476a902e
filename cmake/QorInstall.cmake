# What an installation holds beside the programs: the man pages, the example
# schedule and, for running it as a service, the systemd unit, the logrotate
# rule, the service's settings file and its schedule directory. The Debian
# package built by CPack holds this same installation.

option(QOR_INSTALL_SERVICE "Install the systemd unit, logrotate rule and settings file" ON)
# systemd and logrotate read their files from fixed places, whatever the
# prefix: the service's configuration goes to /etc, and the unit to
# PREFIX/lib/systemd/system, which systemd reads for /usr and /usr/local.
set(QOR_SERVICE_SYSCONFDIR /etc CACHE PATH
    "Directory (absolute) holding the schedule directory, default/ and logrotate.d/")
set(QOR_SYSTEMD_UNITDIR lib/systemd/system CACHE STRING
    "Directory of the systemd unit, relative to the prefix unless absolute")

install(FILES ${PROJECT_SOURCE_DIR}/man/qortimer.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES ${PROJECT_SOURCE_DIR}/man/qorlisten.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/examples/timers.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(QOR_INSTALL_SERVICE)
  # The unit names the installed program and the configuration by full path.
  configure_file(${PROJECT_SOURCE_DIR}/contrib/qortimer.service.in
                 ${PROJECT_BINARY_DIR}/qortimer.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qortimer.service DESTINATION ${QOR_SYSTEMD_UNITDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/contrib/qortimer.logrotate
          DESTINATION ${QOR_SERVICE_SYSCONFDIR}/logrotate.d RENAME qortimer)
  install(DIRECTORY DESTINATION ${QOR_SERVICE_SYSCONFDIR}/qortimer)
  # The settings file holds the operator's choices: a later install keeps
  # an existing one, as the package manager does.
  set(qor_default ${QOR_SERVICE_SYSCONFDIR}/default/qortimer)
  install(CODE "
    if(EXISTS \"\$ENV{DESTDIR}${qor_default}\")
      message(STATUS \"Keeping: \$ENV{DESTDIR}${qor_default}\")
    else()
      file(INSTALL \"${PROJECT_SOURCE_DIR}/contrib/qortimer.default\"
           DESTINATION \"${QOR_SERVICE_SYSCONFDIR}/default\" RENAME qortimer)
    endif()")
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
if(QOR_INSTALL_SERVICE AND QOR_SERVICE_SYSCONFDIR STREQUAL "/etc")
  file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "/etc/logrotate.d/qortimer\n/etc/default/qortimer\n")
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_BINARY_DIR}/debian/conffiles)
endif()
include(CPack)
