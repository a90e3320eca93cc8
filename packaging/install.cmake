# Installation rules: the daemon and the operator tool, their manual pages,
# the systemd units (the daemon; the metrics timer and its service), the
# configuration with its two list files, the Wireshark dissector and the
# Prometheus alert rules.  Used by `cmake --install` and by the Debian package
# (debian/rules).
#
# The configuration's defaults always go to <datadir>/marlo/conf; into
# <sysconfdir>/marlo only with MARLO_INSTALL_CONFIG.  The Debian package
# leaves /etc to its postinst, which copies them there once: a file under
# /etc in the package would be a conffile, and an upgrade would ask about
# every host's edited one.
include(GNUInstallDirs)

set(MARLO_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
    "Directory of the systemd unit (relative: under the installation prefix)")
set(MARLO_CONFDIR "${CMAKE_INSTALL_FULL_SYSCONFDIR}/marlo")

install(TARGETS marlo marloctl RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})

install(FILES man/marlo.8 man/marloctl.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES man/marlo.conf.5 DESTINATION ${CMAKE_INSTALL_MANDIR}/man5)

# The unit starts the installed daemon on the installed configuration.
set(MARLO_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
configure_file(packaging/marlo.service.in marlo.service @ONLY)
configure_file(packaging/marlo-metrics.service.in marlo-metrics.service @ONLY)
configure_file(packaging/marlo-check.service.in marlo-check.service @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/marlo.service ${CMAKE_CURRENT_BINARY_DIR}/marlo-metrics.service
        packaging/marlo-metrics.timer ${CMAKE_CURRENT_BINARY_DIR}/marlo-check.service
        packaging/marlo-check.timer DESTINATION ${MARLO_SYSTEMD_UNIT_DIR})

option(MARLO_INSTALL_CONFIG "Install the configuration into <sysconfdir>/marlo" ON)
set(marlo_config_files packaging/marlo.conf packaging/local_nodes packaging/unicast_hosts)
install(FILES ${marlo_config_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/marlo/conf)
if(MARLO_INSTALL_CONFIG)
  install(FILES ${marlo_config_files} DESTINATION ${MARLO_CONFDIR})
endif()

install(FILES contrib/wireshark/marlo.lua DESTINATION ${CMAKE_INSTALL_DATADIR}/marlo/wireshark)
install(FILES packaging/marlo-alerts.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/marlo/prometheus)
