# Install-time part of cmake/Install.cmake: the systemd units and the first board's runtime
# directory, for the prefix of this install run (`cmake --install --prefix`, or CPack's /usr).
# Script mode; cmake/Install.cmake sets the QUELLOR_* variables before it.

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(QUELLOR_CONFDIR "/etc/quellor")
else()
  set(QUELLOR_CONFDIR "${CMAKE_INSTALL_PREFIX}/etc/quellor")
endif()
set(QUELLOR_BINDIR "${CMAKE_INSTALL_PREFIX}/${QUELLOR_BINDIR_RELATIVE}")
set(QUELLOR_DOCDIR "${CMAKE_INSTALL_PREFIX}/${QUELLOR_DOCDIR_RELATIVE}")

# One staging folder per destination, so that two installs at once do not share files.
string(MD5 destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(staging "${QUELLOR_STAGING_DIR}/${destination}")
set(units "")
foreach(unit quellor@.service quellor-board-sim@.service)
  configure_file("${QUELLOR_SOURCE_DIR}/deploy/systemd/${unit}.in" "${staging}/${unit}" @ONLY)
  list(APPEND units "${staging}/${unit}")
endforeach()
file(INSTALL DESTINATION "${CMAKE_INSTALL_PREFIX}/lib/systemd/system" TYPE FILE FILES ${units})

set(board "${QUELLOR_CONFDIR}/${QUELLOR_FIRST_BOARD}")
list(TRANSFORM QUELLOR_RUNTIME_FILES PREPEND "${QUELLOR_SOURCE_DIR}/")
file(INSTALL DESTINATION "${board}" TYPE FILE FILES ${QUELLOR_RUNTIME_FILES})
file(INSTALL DESTINATION "${board}" TYPE PROGRAM FILES "${QUELLOR_SOURCE_DIR}/deploy/initHardware.py")
