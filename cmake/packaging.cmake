# The systemd unit, written at install time so that the ExecStart it names is the prefix the
# installation uses (`cmake --install --prefix`), not only the one configured. It goes where
# this system's systemd looks for package units (its pkg-config file says), so that the
# Debian packaging (debian/, dh_installsystemd) finds it there.
pkg_get_variable(SM_SYSTEMD_PC_UNIT_DIR systemd systemdsystemunitdir)
if(NOT SM_SYSTEMD_PC_UNIT_DIR)
  set(SM_SYSTEMD_PC_UNIT_DIR /lib/systemd/system)
endif()
set(SM_SYSTEMD_UNIT_DIR ${SM_SYSTEMD_PC_UNIT_DIR} CACHE PATH "Where the systemd unit is installed")
set(SM_UNIT_TEMPLATE ${CMAKE_SOURCE_DIR}/packaging/service-monitor.service.in)
set(SM_UNIT ${CMAKE_BINARY_DIR}/packaging/service-monitor.service)
install(CODE "set(CMAKE_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  configure_file([[${SM_UNIT_TEMPLATE}]] [[${SM_UNIT}]] @ONLY)" COMPONENT daemon)
install(FILES ${SM_UNIT} DESTINATION ${SM_SYSTEMD_UNIT_DIR} COMPONENT daemon)
