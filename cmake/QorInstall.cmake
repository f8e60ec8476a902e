# What an installation holds beside the programs: the man pages, the example
# schedule and, for running it as a service, the systemd unit (and the
# check's service and timer, which nothing enables), the logrotate
# rule, the service's settings file and its schedule directory. The Debian
# package (debian/) is built from this same installation.

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
install(FILES ${PROJECT_SOURCE_DIR}/man/qorplan.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/examples/timers.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(QOR_INSTALL_SERVICE)
  # The unit names the installed program and the configuration by full path.
  configure_file(${PROJECT_SOURCE_DIR}/contrib/qortimer.service.in
                 ${PROJECT_BINARY_DIR}/qortimer.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qortimer.service DESTINATION ${QOR_SYSTEMD_UNITDIR})
  # qorlisten's check for Prometheus, run after run by its timer.
  configure_file(${PROJECT_SOURCE_DIR}/contrib/qortimer-check.service.in
                 ${PROJECT_BINARY_DIR}/qortimer-check.service @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/qortimer-check.service
                ${PROJECT_SOURCE_DIR}/contrib/qortimer-check.timer
          DESTINATION ${QOR_SYSTEMD_UNITDIR})
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
