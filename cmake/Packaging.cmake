# Packages, built by scripts/package: on Linux one Debian package per install
# component (brisvane-upgrade: the upgrader; brisvane-upgrade-dev: the client
# library's development files), on Windows two ZIPs: the flat folder of the
# upgrader component, and the development component as a prefix of its own.

set(BRISVANE_PACKAGE_MAINTAINER
    "Seed 4c2b2fe4 maintainers <maintainers@users.noreply.c-seed-4c2b2fe4.example>"
    CACHE STRING "Maintainer named in the packages")

set(CPACK_PACKAGE_NAME brisvane-upgrade)
set(CPACK_PACKAGE_VENDOR Tamberk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${BRISVANE_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_VERBATIM_VARIABLES ON)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)

# Only the components that have install rules become packages (the client
# library's may not be part of this tree); any other component is a rule that
# forgot its COMPONENT and is shipped nowhere.
get_cmake_property(installed_components COMPONENTS)
set(CPACK_COMPONENTS_ALL "")
foreach(component upgrader development)
  if(component IN_LIST installed_components)
    list(APPEND CPACK_COMPONENTS_ALL ${component})
  endif()
endforeach()
list(REMOVE_ITEM installed_components upgrader development)
if(installed_components)
  message(WARNING "Install rules outside the packaged components: ${installed_components}")
endif()
# scripts/package checks one package per packaged component.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/components.txt "${CPACK_COMPONENTS_ALL}\n")

if(WIN32)
  set(BRISVANE_LICENSE_DIR "" CACHE PATH
      "Folder of the licence texts of the statically linked libraries, shipped in licenses/")
  if(BRISVANE_LICENSE_DIR)
    if(NOT IS_DIRECTORY "${BRISVANE_LICENSE_DIR}")
      message(FATAL_ERROR "BRISVANE_LICENSE_DIR is not a folder: ${BRISVANE_LICENSE_DIR}")
    endif()
    file(GLOB licence_texts "${BRISVANE_LICENSE_DIR}/*")
    if(NOT licence_texts)
      message(WARNING "BRISVANE_LICENSE_DIR is empty: the ZIP lacks the licence texts")
    endif()
    install(DIRECTORY "${BRISVANE_LICENSE_DIR}/" DESTINATION licenses COMPONENT upgrader)
  else()
    message(WARNING "BRISVANE_LICENSE_DIR is not set: the ZIP lacks the licence texts of "
                    "the statically linked Qt, libcurl, libsodium and MinGW-w64 runtime")
  endif()
  foreach(component ${CPACK_COMPONENTS_ALL})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${BRISVANE_DOC_DIR}
      RENAME copyright.txt COMPONENT ${component})
  endforeach()

  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME brisvane-upgrade-${PROJECT_VERSION}-windows-x64)
  # The development files are not for the client's machines: they get a ZIP
  # of their own, made with `cpack --config CPackDevelopmentConfig.cmake`.
  set(CPACK_INSTALL_CMAKE_PROJECTS "${CMAKE_BINARY_DIR};${PROJECT_NAME};upgrader;/")
  if(development IN_LIST CPACK_COMPONENTS_ALL)
    file(WRITE ${CMAKE_BINARY_DIR}/CPackDevelopmentConfig.cmake
      "include(\"${CMAKE_BINARY_DIR}/CPackConfig.cmake\")\n"
      "set(CPACK_INSTALL_CMAKE_PROJECTS \"${CMAKE_BINARY_DIR};${PROJECT_NAME};development;/\")\n"
      "set(CPACK_PACKAGE_FILE_NAME brisvane-upgrade-dev-${PROJECT_VERSION}-windows-x64)\n")
  endif()
else()
  # A native package's changelog is this one, compressed as Debian wants it;
  # its newest entry must name the version being packaged.
  set(changelog ${PROJECT_SOURCE_DIR}/packaging/changelog)
  file(STRINGS ${changelog} changelog_top LIMIT_COUNT 1)
  if(NOT changelog_top MATCHES "^brisvane-upgrade \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog: the newest entry is not for version "
                        "${PROJECT_VERSION}: ${changelog_top}")
  endif()
  brisvane_gzip(${changelog} ${CMAKE_BINARY_DIR}/packaging/changelog.gz)

  # Each package carries its own copyright and changelog.
  set(package_upgrader brisvane-upgrade)
  set(package_development brisvane-upgrade-dev)
  foreach(component ${CPACK_COMPONENTS_ALL})
    set(package ${package_${component}})
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_BINARY_DIR}/packaging/changelog.gz
      DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${package} COMPONENT ${component})
  endforeach()

  set(CPACK_GENERATOR DEB)
  set(CPACK_DEB_COMPONENT_INSTALL ON)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${BRISVANE_PACKAGE_MAINTAINER}")
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

  set(CPACK_DEBIAN_UPGRADER_PACKAGE_NAME brisvane-upgrade)
  set(CPACK_DEBIAN_UPGRADER_PACKAGE_SECTION admin)
  set(CPACK_DEBIAN_UPGRADER_DESCRIPTION
"self-upgrader for the Brisvane client
BrisvaneUpgrade is started by the Brisvane client with an installer URL. It
downloads the installer with a progress window, optionally checks its
minisign signature against upgrade.pub, runs it, runs an optional
post-install script (command.bat) and starts the client again.
.
The upgrader lives in /usr/libexec/brisvane, where the client, command.bat
and upgrade.pub are looked for. upgrade-request hands an installer URL to a
running upgrader the way the client does.")

  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME brisvane-upgrade-dev)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
  set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION
"development files for starting the Brisvane self-upgrader
The static client library with its header, CMake package configuration and
pkg-config file, for programs that hand an installer URL to BrisvaneUpgrade.")
endif()

include(CPack)
