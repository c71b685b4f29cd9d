# Installation layout and Debian packages.
#
#   cmake --install <build> --prefix /usr        binaries, configuration, unit, man pages
#   cpack --config <build>/CPackConfig.cmake     vorn_<version>_amd64.deb (agent + vornctl)
#                                                vorn-cloud_<version>_amd64.deb
#
# Included at the end of the root CMakeLists.txt, once every target exists.
# The configuration, the registry file and the unit live at fixed absolute
# paths (/etc/vorn, /lib/systemd/system) whatever the prefix: the agent and
# vornctl look for /etc/vorn/registry.d by default, and systemd only reads
# units from its own directories.

include(GNUInstallDirs)

set(VORN_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(VORN_CONFIG_INSTALL_DIR /etc/vorn)
set(VORN_UNIT_INSTALL_DIR /lib/systemd/system)

# --- binaries ---------------------------------------------------------------
install(TARGETS vorn RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vorn)
if(TARGET vornctl)
  install(TARGETS vornctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vorn)
endif()
install(TARGETS vorn-tpm RUNTIME DESTINATION ${CMAKE_INSTALL_LIBDIR}/vorn COMPONENT vorn)
if(TARGET vorn-cloud)
  install(TARGETS vorn-cloud RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vorn-cloud)
endif()

# --- configuration (Debian conffiles) ---------------------------------------
# bs.json will hold the installer key: readable by root only.
install(FILES ${VORN_PACKAGING_DIR}/config/bs.json
        DESTINATION ${VORN_CONFIG_INSTALL_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE
        COMPONENT vorn)
install(FILES ${VORN_PACKAGING_DIR}/config/id.json
        DESTINATION ${VORN_CONFIG_INSTALL_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT vorn)
install(FILES ${VORN_PACKAGING_DIR}/config/vorn.reg
        DESTINATION ${VORN_CONFIG_INSTALL_DIR}/registry.d
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT vorn)

# --- systemd units ----------------------------------------------------------
# ExecStart names the installed agent, so the unit is written at install time,
# when the prefix is known (cpack installs with its own prefix, /usr).
install(CODE "
  set(VORN_BINDIR \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${VORN_PACKAGING_DIR}/systemd/vorn.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/packaging/unit/vorn.service\" @ONLY)
  file(INSTALL DESTINATION \"${VORN_UNIT_INSTALL_DIR}\" TYPE FILE
       PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
       FILES \"${CMAKE_CURRENT_BINARY_DIR}/packaging/unit/vorn.service\")
" COMPONENT vorn)
install(FILES ${VORN_PACKAGING_DIR}/systemd/vorn.socket
        DESTINATION ${VORN_UNIT_INSTALL_DIR}
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
        COMPONENT vorn)

# --- man pages --------------------------------------------------------------
# Compressed as Debian ships them (man reads them either way).
find_program(VORN_GZIP gzip)
function(vorn_install_man page section component)
  set(configured ${CMAKE_CURRENT_BINARY_DIR}/packaging/man/${page}.${section})
  set(VORN_VERSION ${PROJECT_VERSION})
  configure_file(${VORN_PACKAGING_DIR}/man/${page}.${section} ${configured} @ONLY)
  if(VORN_GZIP)
    execute_process(COMMAND ${VORN_GZIP} -9 -n -f -k ${configured} RESULT_VARIABLE rc)
    if(rc EQUAL 0)
      set(configured ${configured}.gz)
    endif()
  endif()
  install(FILES ${configured}
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${component})
endfunction()
vorn_install_man(vorn 8 vorn)
if(TARGET vornctl)
  vorn_install_man(vornctl 8 vorn)
endif()
if(TARGET vorn-cloud)
  vorn_install_man(vorn-cloud 1 vorn-cloud)
endif()

# --- Debian documentation ---------------------------------------------------
# Every Debian package carries its copyright file and its changelog (gzipped,
# like the man pages, without a timestamp so that builds are reproducible) in
# /usr/share/doc/<package>/.
function(vorn_install_debian_doc package)
  set(doc ${CMAKE_CURRENT_BINARY_DIR}/packaging/doc/${package})
  file(MAKE_DIRECTORY ${doc})
  configure_file(${VORN_PACKAGING_DIR}/debian/changelog ${doc}/changelog.Debian COPYONLY)
  set(changelog ${doc}/changelog.Debian)
  if(VORN_GZIP)
    execute_process(COMMAND ${VORN_GZIP} -9 -n -f -k ${doc}/changelog.Debian RESULT_VARIABLE rc)
    if(rc EQUAL 0)
      set(changelog ${doc}/changelog.Debian.gz)
    endif()
  endif()
  install(FILES ${VORN_PACKAGING_DIR}/debian/copyright ${changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
          COMPONENT ${package})
endfunction()
vorn_install_debian_doc(vorn)
if(TARGET vorn-cloud)
  vorn_install_debian_doc(vorn-cloud)
endif()

# --- Debian packages --------------------------------------------------------
set(VORN_PACKAGE_COMPONENTS vorn)
if(TARGET vorn-cloud)
  list(APPEND VORN_PACKAGE_COMPONENTS vorn-cloud)
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorn)
set(CPACK_PACKAGE_VENDOR "Zanto")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL ${VORN_PACKAGE_COMPONENTS})
set(CPACK_DEB_COMPONENT_INSTALL ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # <name>_<version>_<arch>.deb
# A mail host that Debian's checks accept (a maintainer at localhost is an error
# to lintian); the same address signs packaging/debian/changelog.
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vorn maintainers <vorn@zanto.example>")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Runtime library dependencies come from dpkg-shlibdeps (libcurl, libssl,
# libcjson, SQLite for vorn-cloud), which cannot see the block-device probing
# library: the agent loads it when it first needs it.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_VORN_PACKAGE_DEPENDS "libblkid1")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_VORN_PACKAGE_NAME vorn)
set(CPACK_DEBIAN_VORN_PACKAGE_RECOMMENDS "ca-certificates")
string(CONCAT CPACK_COMPONENT_VORN_DESCRIPTION
    "device identity agent\n"
    "Collects hardware, OS, network and sibling-product attributes, obtains a\n"
    "stable identity for the machine from a cloud identity service over HTTPS and\n"
    "keeps it in a locked store. Includes the systemd service and vornctl, the\n"
    "local client.")
# Every file under /etc is a conffile: dpkg keeps an administrator's edits of
# bs.json across upgrades and removes the files only on purge. CPack does not
# mark them by itself.
set(VORN_CONFFILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/debian/conffiles)
file(WRITE ${VORN_CONFFILES}
     "${VORN_CONFIG_INSTALL_DIR}/bs.json\n"
     "${VORN_CONFIG_INSTALL_DIR}/id.json\n"
     "${VORN_CONFIG_INSTALL_DIR}/registry.d/vorn.reg\n")
set(CPACK_DEBIAN_VORN_PACKAGE_CONTROL_EXTRA
    ${VORN_CONFFILES}
    ${VORN_PACKAGING_DIR}/debian/postinst
    ${VORN_PACKAGING_DIR}/debian/prerm
    ${VORN_PACKAGING_DIR}/debian/postrm)

set(CPACK_DEBIAN_VORN-CLOUD_PACKAGE_NAME vorn-cloud)
string(CONCAT CPACK_COMPONENT_VORN-CLOUD_DESCRIPTION
    "reference identity service for vorn\n"
    "An HTTPS identity service answering the vorn agent, for development,\n"
    "demonstrations and tests.")

include(CPack)

# --- test -------------------------------------------------------------------
if(VORN_BUILD_TESTS)
  set(VORN_PACKAGED_TARGETS vorn)
  foreach(tool vornctl vorn-cloud)
    if(TARGET ${tool})
      list(APPEND VORN_PACKAGED_TARGETS ${tool})
    endif()
  endforeach()
  string(REPLACE ";" "," VORN_PACKAGED_TARGETS_CSV "${VORN_PACKAGED_TARGETS}")
  add_test(NAME packaging_test
           COMMAND ${VORN_PACKAGING_DIR}/tests/packaging_test.sh
                   ${CMAKE_BINARY_DIR} ${PROJECT_VERSION} ${VORN_PACKAGED_TARGETS_CSV})
  # cpack, dpkg and lintian keep both cores busy for a while; counted as two
  # processors, the test runs alone instead of starving timing-sensitive ones.
  set_tests_properties(packaging_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 600 PROCESSORS 2)
  # The packages under a booted systemd in a container (needs both the agent
  # and the reference service; the first run builds and caches the root).
  if(TARGET vornctl AND TARGET vorn-cloud)
    add_test(NAME systemd_test
             COMMAND ${VORN_PACKAGING_DIR}/tests/systemd_test.sh ${CMAKE_BINARY_DIR} ${PROJECT_VERSION})
    set_tests_properties(systemd_test PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 1200 PROCESSORS 2
                         LABELS system)
  endif()
endif()
