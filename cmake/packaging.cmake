# The Debian package, built by scripts/package with CPack's DEB generator
# over the install rules of packaging/, so that the layout is written once.
# The maintainer scripts, the copyright and the changelog are in
# packaging/deb/.
if(TARNWICK_TSAN_ONLY)
  return()
endif()

set(deb_dir ${PROJECT_SOURCE_DIR}/packaging/deb)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarnwick)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Brevant)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Tarnwick maintainers <maintainers@users.noreply.c-seed-6e3d53d9.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "DNS resolver that takes over the machine's DNS by rules")
# CPack puts the summary above this text.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "Tarnwick holds back every UDP DNS query that a process on the machine
sends and resolves it by an ordered list of host-name rules: through a
chosen upstream server or pool (plain DNS, DNS over TLS or over QUIC),
on to the server the process asked, or blocked.
The driver host palvexdrv runs as a system service; members of the
group tarnwick run the desktop program without root.")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# tarnwick_<version>_<arch>.deb
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The libraries come from dpkg-shlibdeps over the binaries. What is named
# here is run or loaded by name, which dpkg-shlibdeps cannot see: palvexdrv
# runs iptables and ip6tables, the maintainer scripts groupadd and groupdel,
# and Qt loads its display plugins.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iptables, passwd, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${deb_dir}/postinst ${deb_dir}/prerm ${deb_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
# Installed as into /usr, whatever prefix the tree was configured with.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)

# Debian's documentation files: the copyright, the changelog compressed
# without a time stamp (so that two builds agree), the kept lintian warnings.
configure_file(${deb_dir}/changelog.in ${PROJECT_BINARY_DIR}/package-files/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${PROJECT_BINARY_DIR}/package-files/changelog)
install(FILES ${deb_dir}/copyright ${PROJECT_BINARY_DIR}/package-files/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/tarnwick)
# The overrides only where lintian looks for them: in the package's /usr.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(INSTALL \"${deb_dir}/lintian-overrides\" DESTINATION \"/usr/${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides\"
         RENAME tarnwick PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  endif()")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${deb_dir}/changelog.in)

include(CPack)
