# SPDX-License-Identifier: MIT
# Manual pages and Debian packages.
#
#   cmake --install BUILD [--prefix P]   bin/cordix, bin/dectsim, share/man/man1/*.1.gz,
#                                        share/doc/PACKAGE/{copyright,changelog.gz}
#   cpack -G DEB --config BUILD/CPackConfig.cmake
#
# Two packages, one per install component:
#   cordix      bin/cordix, cordix(1) and dect-update(1); runtime dependencies from dpkg-shlibdeps
#               (libcapi20's runtime package among them); the update
#               frameworks' glue: /usr/lib/cordix/dect-update, which all of
#               it calls, the Mender Update Module
#               /usr/share/mender/modules/v3/dect-module, the SWUpdate handler
#               share/lua/5.3/cordix/dect_module.lua with its examples
#               (share/doc/cordix/examples/swupdate), the RAUC installer
#               /usr/lib/cordix/rauc-dect-module with the bundle hook and
#               examples in share/cordix/rauc; the boot step after a power
#               cut, /lib/systemd/system/cordix-recover.service and
#               /etc/init.d/cordix-recover (not enabled); the frameworks only
#               suggested
#   cordix-sim  bin/dectsim and dectsim(1), the controller and module simulator
#
# The programs' install rules (update/, sim/) name these components. Every
# component is one package of the same name and gets the project's
# copyright file (packaging/copyright, machine-readable) and changelog
# (packaging/changelog) in share/doc/PACKAGE; the version has no Debian
# revision, so the changelog is the package's own: changelog.gz.

set(CORDIX_MAN_PAGES cordix dect-update dectsim)
set(CORDIX_MAN_COMPONENT_cordix cordix)
set(CORDIX_MAN_COMPONENT_dect-update cordix)
set(CORDIX_MAN_COMPONENT_dectsim cordix-sim)

# Debian ships manual pages compressed; -n keeps the archive free of a time
# stamp so repeated builds give the same bytes.
find_program(CORDIX_GZIP gzip REQUIRED)
set(_cordix_man_out)
foreach(page IN LISTS CORDIX_MAN_PAGES)
  set(src ${PROJECT_SOURCE_DIR}/man/${page}.1)
  set(gz ${PROJECT_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
    COMMAND ${CORDIX_GZIP} -9nc ${src} > ${gz}
    DEPENDS ${src}
    COMMENT "Compressing manual page ${page}(1)"
    VERBATIM)
  list(APPEND _cordix_man_out ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${CORDIX_MAN_COMPONENT_${page}})
endforeach()
add_custom_target(manpages ALL DEPENDS ${_cordix_man_out})

set(_cordix_changelog ${PROJECT_BINARY_DIR}/packaging/changelog.gz)
add_custom_command(OUTPUT ${_cordix_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/packaging
  COMMAND ${CORDIX_GZIP} -9nc ${PROJECT_SOURCE_DIR}/packaging/changelog > ${_cordix_changelog}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/changelog
  COMMENT "Compressing the changelog"
  VERBATIM)
add_custom_target(packagedocs ALL DEPENDS ${_cordix_changelog})

set(CPACK_PACKAGE_NAME cordix)
set(CORDIX_MAINTAINER "the cordix developers <maintainers@cordix.example.org>"
    CACHE STRING "Maintainer of the Debian packages")
set(CPACK_PACKAGE_VENDOR "the cordix developers")
set(CPACK_PACKAGE_CONTACT "${CORDIX_MAINTAINER}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_GENERATOR DEB)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The Debian architecture of the target: dpkg's own for a native build, the
# one that belongs to the cross toolchain's triplet otherwise.
if(CMAKE_CROSSCOMPILING AND CMAKE_LIBRARY_ARCHITECTURE)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -qDEB_HOST_ARCH
                  OUTPUT_VARIABLE _cordix_deb_arch OUTPUT_STRIP_TRAILING_WHITESPACE
                  ERROR_QUIET)
  if(_cordix_deb_arch)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_cordix_deb_arch})
  endif()
endif()

set(CPACK_COMPONENTS_ALL cordix cordix-sim)
foreach(package IN LISTS CPACK_COMPONENTS_ALL)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${_cordix_changelog}
          DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${package})
endforeach()

# Per-package settings, one package per component group.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME cordix)
set(CPACK_DEBIAN_TOOL_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "mender-client, swupdate, rauc")
# The init script of the boot step lives under /etc: a conffile, registered
# (disabled) on install and removed on purge.
set(CPACK_DEBIAN_TOOL_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/postinst ${PROJECT_SOURCE_DIR}/packaging/postrm)
# First line: the summary; CPack indents the body lines.
set(CPACK_DEBIAN_TOOL_DESCRIPTION
"firmware update and version query for DECT modules on CAPI 2.0
cordix streams a firmware image to a DECT radio module behind a CAPI 2.0
(ISDN) controller through manufacturer-specific CAPI messages, or asks the
module for its version and prints it (the exit status carries only its
first byte, and 0 when no version came).")
set(CPACK_DEBIAN_SIM_PACKAGE_NAME cordix-sim)
set(CPACK_DEBIAN_SIM_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_SIM_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_SIM_DESCRIPTION
"simulated CAPI controller and DECT module for cordix
dectsim listens on loopback, speaks the remote-CAPI protocol of libcapi20
and plays a controller with a DECT module behind it, so that cordix and
update scripts can be run and rehearsed without hardware. It checks every
request, reassembles the received firmware and can inject faults.")

include(CPack)

cpack_add_component_group(tool DISPLAY_NAME "cordix"
  DESCRIPTION "the firmware update tool")
cpack_add_component_group(sim DISPLAY_NAME "dectsim"
  DESCRIPTION "the controller and DECT module simulator")
cpack_add_component(cordix GROUP tool)
cpack_add_component(cordix-sim GROUP sim)
