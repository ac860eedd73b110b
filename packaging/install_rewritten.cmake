# Runs at install time (install(SCRIPT) in CMakeLists.txt): the units and the
# desktop entry name /usr; for another prefix they are rewritten to name the
# files installed there. CMAKE_INSTALL_PREFIX is the prefix of this install,
# /usr when CPack builds the package.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(unit_dir ${TARNWICK_DEBIAN_UNIT_DIR})
else()
  set(unit_dir ${CMAKE_INSTALL_PREFIX}/lib/systemd/system)
endif()
file(MAKE_DIRECTORY ${TARNWICK_STAGING_DIR})
foreach(file palvexdrv.service tarnwick.service tarnwick.desktop)
  file(READ ${TARNWICK_SOURCE_DIR}/${file} text)
  string(REPLACE "/usr/sbin/" "${CMAKE_INSTALL_PREFIX}/${TARNWICK_SBINDIR}/" text "${text}")
  string(REPLACE "/usr/bin/" "${CMAKE_INSTALL_PREFIX}/${TARNWICK_BINDIR}/" text "${text}")
  file(WRITE ${TARNWICK_STAGING_DIR}/${file} "${text}")
endforeach()
file(INSTALL ${TARNWICK_STAGING_DIR}/palvexdrv.service ${TARNWICK_STAGING_DIR}/tarnwick.service
     DESTINATION ${unit_dir} PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
file(INSTALL ${TARNWICK_STAGING_DIR}/tarnwick.desktop DESTINATION ${CMAKE_INSTALL_PREFIX}/${TARNWICK_DATADIR}/applications
     PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
