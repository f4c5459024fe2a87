# What `cmake --install` puts where, and the Debian packages CPack makes of it: vyrmodel (the
# dialog, its desktop entry and icon), vyr-survey and vyr-fleet, each with its manual page.
#   cpack -G DEB --config build/CPackConfig.cmake -B OUT-DIR
# tests/package/deb_package_test.sh builds them, installs them in a folder of its own and runs
# the installed programs.


install(TARGETS vyr-survey RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vyr-survey)
install(TARGETS vyr-fleet RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT vyr-fleet)
install(FILES packaging/vyrmodel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT vyrmodel)
install(FILES packaging/vyrmodel.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT vyrmodel)
# The demo's units file and lists, the same that `vyr-fleet --demo DIR` writes.
install(FILES demo/demo.units demo/north.IPs demo/south.IPs
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vyr-fleet/examples COMPONENT vyr-fleet)

# Manual pages carry the project's version and are installed compressed, as Debian keeps them.
set(VYR_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(VYR_MAN_PAGES)
foreach(program IN ITEMS vyrmodel vyr-survey vyr-fleet vyr-report)
  configure_file(docs/man/${program}.1 ${VYR_MAN_DIR}/${program}.1 @ONLY)
  add_custom_command(OUTPUT ${VYR_MAN_DIR}/${program}.1.gz
    COMMAND gzip -9 -n -k -f ${program}.1
    DEPENDS ${VYR_MAN_DIR}/${program}.1
    WORKING_DIRECTORY ${VYR_MAN_DIR}
    VERBATIM)
  list(APPEND VYR_MAN_PAGES ${VYR_MAN_DIR}/${program}.1.gz)
  # vyr-report ships in vyr-survey's package; every other page in its program's own.
  set(component ${program})
  if(program STREQUAL vyr-report)
    set(component vyr-survey)
  endif()
  install(FILES ${VYR_MAN_DIR}/${program}.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
          COMPONENT ${component})
endforeach()
add_custom_target(vyr_man_pages ALL DEPENDS ${VYR_MAN_PAGES})
include(cmake/completions.cmake)

# Who answers for the packages and where the project lives, as the packages' Maintainer and
# Homepage and in their copyright and changelog files. The defaults are placeholders; a
# distributor sets both: -DVYR_MAINTAINER="Name <address>" -DVYR_HOMEPAGE=https://...
set(VYR_MAINTAINER "VyrModel maintainers <vyrmodel@example.org>" CACHE STRING
    "The Debian packages' Maintainer: Name <address>")
set(VYR_HOMEPAGE "https://vyrmodel.example.org/" CACHE STRING "The Debian packages' Homepage")
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(VYR_DEB_VERSION ${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})

# What Debian asks of every package in /usr/share/doc/PKG: a machine-readable copyright file
# and the Debian changelog, compressed reproducibly (no name or time in the gzip header).
set(VYR_DEB_DOC_DIR ${PROJECT_BINARY_DIR}/packaging)
configure_file(packaging/copyright.in ${VYR_DEB_DOC_DIR}/copyright @ONLY)
configure_file(packaging/changelog.in ${VYR_DEB_DOC_DIR}/changelog.Debian @ONLY)
add_custom_command(OUTPUT ${VYR_DEB_DOC_DIR}/changelog.Debian.gz
  COMMAND gzip -9 -n -k -f changelog.Debian
  DEPENDS ${VYR_DEB_DOC_DIR}/changelog.Debian
  WORKING_DIRECTORY ${VYR_DEB_DOC_DIR}
  VERBATIM)
add_custom_target(vyr_package_docs ALL DEPENDS ${VYR_DEB_DOC_DIR}/changelog.Debian.gz)
# lintian's overrides, each with its reason, where lintian looks for them in an installed package.
foreach(package IN ITEMS vyrmodel vyr-survey vyr-fleet)
  install(FILES ${VYR_DEB_DOC_DIR}/copyright ${VYR_DEB_DOC_DIR}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package})
  configure_file(packaging/lintian-overrides.in ${VYR_DEB_DOC_DIR}/overrides/${package} @ONLY)
  install(FILES ${VYR_DEB_DOC_DIR}/overrides/${package}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides COMPONENT ${package})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vyrmodel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${VYR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VYR_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${VYR_HOMEPAGE}")
# One source, three binary packages, as the changelog says.
set(CPACK_DEBIAN_PACKAGE_SOURCE vyrmodel)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL vyrmodel vyr-survey vyr-fleet)
# name_version-release_architecture.deb, as Debian names its packages.
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
# The libraries each program links decide its Depends (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_DEBIAN_VYRMODEL_PACKAGE_NAME vyrmodel)
# Added to what the libraries need: the dialog cannot open a window without Qt's platform plugins
# (xcb among them), which libqt6gui6 only recommends.
set(CPACK_DEBIAN_VYRMODEL_PACKAGE_DEPENDS qt6-qpa-plugins)
# Descriptions: a synopsis, then lines within 80 columns (Debian's control files).
set(CPACK_COMPONENT_VYRMODEL_DESCRIPTION "inventory of a fleet of modem-equipped field units
The operator's dialog: it asks every unit of a list file over UDP for its
identity and versions, shows one row per unit and writes a tab-separated
report and a progress file beside the list, so that an interrupted survey
can be resumed.")
set(CPACK_DEBIAN_VYR-SURVEY_PACKAGE_NAME vyr-survey)
set(CPACK_COMPONENT_VYR-SURVEY_DESCRIPTION "field unit inventory survey from the command line
Runs one survey of a list file without the dialog, for scripts and
schedulers: the same report and progress file, a progress line, JSON lines
of the units, and exit statuses that say how the survey ended. vyr-report
reads the reports: what the fleet runs, what changed between two surveys,
and an HTML page with charts.")
set(CPACK_DEBIAN_VYR-FLEET_PACKAGE_NAME vyr-fleet)
set(CPACK_COMPONENT_VYR-FLEET_DESCRIPTION "stand-in fleet of field units for trying vyrmodel
Answers as a fleet of units and their IP server would, over loopback UDP,
with loss, delays and noise on request, and writes the list file that names
them. vyr-fleet --demo DIR writes the demo's units file and lists.")

include(CPack)

if(BUILD_TESTING AND NOT VYR_SANITIZE AND NOT VYR_FUZZ)
  # The packages built, installed into a folder of their own and run from there: their files,
  # their Depends, the installed vyr-survey's help and a short survey of the installed vyr-fleet.
  add_test(NAME deb_packages
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/deb_package_test.sh ${PROJECT_BINARY_DIR}
            ${PROJECT_SOURCE_DIR})
  set_tests_properties(deb_packages PROPERTIES RESOURCE_LOCK fixed_ports TIMEOUT 600
                       SKIP_RETURN_CODE 77)
endif()
