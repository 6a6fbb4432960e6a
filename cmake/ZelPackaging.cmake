# Debian packages, made from the build with
#     cpack -G DEB --config build/CPackConfig.cmake -B build/packages
# One package per install component; anything installed without one of these components
# (the demo sibling, for instance) goes into no package.
set(ZEL_PACKAGE_MAINTAINER "Brannel IT <zel@brannel.com>" CACHE STRING
    "Maintainer field of the Debian packages")

set(zel_components hub lib dev)
if(ZEL_BUILD_EXAMPLES)
    list(APPEND zel_components tools)
endif()
set(zel_packages zelhub libzelkit${PROJECT_VERSION_MAJOR} libzelkit-dev zelkit-tools)

# Manual pages and changelogs go compressed, as Debian's policy asks, and reproducibly
# (-n: no name, no time stamp).
find_program(ZEL_GZIP gzip REQUIRED)
function(zel_gzip source output)
    add_custom_command(OUTPUT ${output} COMMAND ${ZEL_GZIP} -9nc ${source} > ${output}
        DEPENDS ${source} VERBATIM)
    get_filename_component(name ${output} NAME)
    add_custom_target(zel_gzip_${name} ALL DEPENDS ${output})
endfunction()
# page: a manual page file in the calling folder, named NAME.SECTION.
function(zel_install_manpage page component)
    string(REGEX MATCH "[0-9]$" section ${page})
    zel_gzip(${CMAKE_CURRENT_SOURCE_DIR}/${page} ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz)
    install(FILES ${CMAKE_CURRENT_BINARY_DIR}/${page}.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# Every package carries its copyright and changelog where Debian looks for them.
set(zel_changelog ${PROJECT_BINARY_DIR}/changelog.gz)
zel_gzip(${PROJECT_SOURCE_DIR}/cmake/debian/changelog ${zel_changelog})
foreach(component package IN ZIP_LISTS zel_components zel_packages)
    install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian/copyright ${zel_changelog}
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
    string(TOUPPER ${component} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

set(CPACK_PACKAGE_NAME zelhub)
set(CPACK_PACKAGE_VENDOR "Brannel IT")
set(CPACK_PACKAGE_CONTACT "${ZEL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${zel_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SOURCE zelhub)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Dependencies on system libraries are computed; ours on libzelkit come from the
# component dependencies below, as an exact version, because all four packages are made
# from one build. Our own library is found in the build to read its needs.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/ZelKit)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)

set(zel_about_zelkit "ZelKit is the framework every Zel app is built on: the client that
registers an app with the ZelHub tray hub and turns the hub's commands into
callbacks, the standard tray menu block, launch at login, the update check and
the one-time migration of data out of a former sandbox.")
set(CPACK_COMPONENT_LIB_DESCRIPTION "framework of the Zel apps (shared library)
${zel_about_zelkit}

This package holds the shared library.")
set(CPACK_DEBIAN_LIB_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
# The loader's cache is renewed by a trigger. CPack would also write postinst and postrm
# scripts that call ldconfig themselves; naming them here, where there are none, keeps
# them out.
set(CPACK_DEBIAN_LIB_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/cmake/debian/triggers
    ${PROJECT_SOURCE_DIR}/cmake/debian/none/postinst ${PROJECT_SOURCE_DIR}/cmake/debian/none/postrm)

set(CPACK_COMPONENT_DEV_DESCRIPTION "framework of the Zel apps (development files)
${zel_about_zelkit}

This package holds the headers, the CMake package (find_package(ZelKit))
and the pkg-config file (zelkit).")
set(CPACK_COMPONENT_DEV_DEPENDS lib)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS qt6-base-dev)

set(CPACK_COMPONENT_HUB_DESCRIPTION "one tray icon for all your Zel apps
ZelHub gathers the Zel apps, a family of tray applications, behind a single
tray icon. A click opens a grid of every running Zel app; picking one opens
that app's window at the hub's icon. The hub's menu can switch the apps' own
tray icons off, so that the panel holds only the hub.")
set(CPACK_COMPONENT_HUB_DEPENDS lib)
set(CPACK_DEBIAN_HUB_PACKAGE_SECTION x11)

set(CPACK_COMPONENT_TOOLS_DESCRIPTION "command-line tools for Zel app developers
zelctl watches the messages between the ZelHub tray hub and the Zel apps on
the session bus, lists the running apps and sends the hub's commands
(activate, hide and show the tray icon) from a shell.")
set(CPACK_COMPONENT_TOOLS_DEPENDS lib)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)

include(CPack)
