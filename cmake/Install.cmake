# What `cmake --install` puts where, and the Debian package that CPack makes of it.
#
#   PREFIX/bin                        quellor_server, quellor_xmlgen, quellor_board_sim, quellorctl
#   PREFIX/share/quellor/deploy       the example runtime directory
#   PREFIX/share/quellor/displays     the Phoebus operator displays and their generator
#   PREFIX/share/doc/quellor          README, operating, integrating and commissioning guides
#   PREFIX/lib/systemd/system         quellor@.service, quellor-board-sim@.service
#   SYSCONF/quellor/board0            the runtime directory of a first board (the simulator's)
#
# SYSCONF is /etc for the prefix /usr (the package) and PREFIX/etc otherwise. The units name the
# programs and directories of the prefix they are installed under, so they are written at install
# time: one build serves `cmake --install --prefix X` and the package alike.

include(GNUInstallDirs)

install(TARGETS quellor_server quellor_xmlgen quellor_board_sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(PROGRAMS tools/quellorctl DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QUELLOR_RUNTIME_FILES deploy/quellorctrl_base_config.xml deploy/quellor.dmap deploy/quellor.map
    deploy/quellorctrl.req deploy/quellorctrl.meta deploy/quellor.env)
install(FILES ${QUELLOR_RUNTIME_FILES} deploy/README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor/deploy)
install(PROGRAMS deploy/initHardware.py DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor/deploy)
install(DIRECTORY deploy/displays/ DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor/displays FILES_MATCHING PATTERN "*.bob")
install(PROGRAMS deploy/displays/make_displays.py DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor/displays)
install(FILES README.md docs/operating.md docs/integrating.md docs/commissioning.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The runtime directory of the first board, which the package ships (as configuration files).
set(QUELLOR_FIRST_BOARD board0)
install(CODE "set(QUELLOR_SOURCE_DIR \"${PROJECT_SOURCE_DIR}\")
set(QUELLOR_STAGING_DIR \"${PROJECT_BINARY_DIR}/install-staging\")
set(QUELLOR_RUNTIME_FILES \"${QUELLOR_RUNTIME_FILES}\")
set(QUELLOR_FIRST_BOARD ${QUELLOR_FIRST_BOARD})
set(QUELLOR_BINDIR_RELATIVE \"${CMAKE_INSTALL_BINDIR}\")
set(QUELLOR_DOCDIR_RELATIVE \"${CMAKE_INSTALL_DOCDIR}\")")
install(SCRIPT cmake/InstallSystem.cmake)

# The Debian package: `cpack -G DEB` in the build directory (scripts/package.sh does it all).
set(CPACK_PACKAGE_NAME quellor)
set(CPACK_PACKAGE_VENDOR "Quellor")
set(CPACK_PACKAGE_CONTACT "Quellor maintainers <quellor@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Piezo actuator control server for an accelerator's driver board (EPICS CA)")
set(CPACK_PACKAGE_DESCRIPTION
    "Safety state machine, setpoint limits, DC ramps and a feed-forward table per piezo channel, served over\n EPICS Channel Access; with a board simulator, the quellorctl operator tool, systemd units and\n Phoebus displays.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
# Installed with DESTDIR under the packaging prefix, so that /etc comes out as /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Shared libraries (Boost, pugixml, libsystemd, the C++ run-time) from dpkg-shlibdeps; the rest
# by hand: initHardware.py and quellorctl need Python 3, quellorctl pyepics, postinst a user tool.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "python3, python3-pyepics, adduser | passwd")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "python3-matplotlib")
# Operators edit the board's files: dpkg keeps their changes on upgrades and asks before it
# replaces one.
set(conffiles "")
foreach(f ${QUELLOR_RUNTIME_FILES} deploy/initHardware.py)
  get_filename_component(name ${f} NAME)
  string(APPEND conffiles "/etc/quellor/${QUELLOR_FIRST_BOARD}/${name}\n")
endforeach()
file(CONFIGURE OUTPUT ${PROJECT_BINARY_DIR}/debian/conffiles CONTENT "${conffiles}")
foreach(script postinst prerm postrm)
  configure_file(deploy/debian/${script} ${PROJECT_BINARY_DIR}/debian/${script} COPYONLY)
endforeach()
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_BINARY_DIR}/debian/conffiles;${PROJECT_BINARY_DIR}/debian/postinst;${PROJECT_BINARY_DIR}/debian/prerm;${PROJECT_BINARY_DIR}/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
