# Installation and the Debian package (scripts/package builds and checks it).
#
# Each program installs itself: the CMakeLists that declares it also calls
#   bms_install_program(TARGET "what it is, for its man page's NAME line")
# so a new front end is still a folder and a target, with nothing to add here. This
# file holds what belongs to the package as a whole: the desktop entry and its icon,
# the copyright and changelog, and CPack's settings. Tests, benchmarks and fuzzers
# have no install rule.

include(GNUInstallDirs)

set(BMS_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR})
set(BMS_PACKAGE_NAME bms-tool)
set(BMS_PACKAGE_MAINTAINER "Voltaro BMS tool developers <bms-tool@voltaro.invalid>"
    CACHE STRING "Maintainer field of the Debian package")
option(BMS_MAN_PAGES "Write man pages from each program's --help and --version (needs help2man)"
       OFF)
find_program(BMS_GZIP gzip)
if(BMS_MAN_PAGES)
    find_program(BMS_HELP2MAN help2man)
    if(NOT BMS_HELP2MAN OR NOT BMS_GZIP)
        message(FATAL_ERROR "BMS_MAN_PAGES needs help2man and gzip")
    endif()
endif()

# Everything built that the package holds, and nothing else: scripts/package builds
# this target rather than all, which would build the tests as well.
add_custom_target(bms_package_contents)

function(bms_install_program target description)
    install(TARGETS ${target} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    add_dependencies(bms_package_contents ${target})
    if(NOT BMS_MAN_PAGES)
        return()
    endif()
    get_target_property(name ${target} OUTPUT_NAME)
    if(NOT name)
        set(name ${target})
    endif()
    set(page ${CMAKE_BINARY_DIR}/man/${name}.1.gz)
    add_custom_command(OUTPUT ${page}
        COMMAND ${CMAKE_COMMAND} -DHELP2MAN=${BMS_HELP2MAN} -DGZIP=${BMS_GZIP}
                -DPROGRAM=$<TARGET_FILE:${target}> -DDESCRIPTION=${description}
                -DOUTPUT=${page} -P ${BMS_PACKAGING_DIR}/man_page.cmake
        DEPENDS ${target} ${BMS_PACKAGING_DIR}/man_page.cmake
        COMMENT "Man page of ${name}"
        VERBATIM)
    add_custom_target(${target}_man ALL DEPENDS ${page})
    add_dependencies(bms_package_contents ${target}_man)
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

set(BMS_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/${BMS_PACKAGE_NAME})

install(FILES ${BMS_PACKAGING_DIR}/bms-tool.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${BMS_PACKAGING_DIR}/bms-tool.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES ${BMS_PACKAGING_DIR}/copyright DESTINATION ${BMS_DOC_DIR})

# Debian wants the changelog compressed with gzip -9n: no name or time stamp inside,
# so the same source gives the same package.
set(BMS_CHANGELOG ${CMAKE_BINARY_DIR}/packaging/changelog)
add_custom_command(OUTPUT ${BMS_CHANGELOG}.gz
    COMMAND ${CMAKE_COMMAND} -E copy ${BMS_PACKAGING_DIR}/changelog ${BMS_CHANGELOG}
    COMMAND ${BMS_GZIP} -9nf ${BMS_CHANGELOG}
    DEPENDS ${BMS_PACKAGING_DIR}/changelog
    VERBATIM)
add_custom_target(bms_changelog DEPENDS ${BMS_CHANGELOG}.gz)
add_dependencies(bms_package_contents bms_changelog)
install(FILES ${BMS_CHANGELOG}.gz DESTINATION ${BMS_DOC_DIR} OPTIONAL)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BMS_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${BMS_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "service tool for the BMS of a ten-cell e-scooter battery pack")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "bms_tool is a desktop window for the battery management system (BMS) of a\n"
    "ten-cell e-scooter battery pack, reached through a USB-serial adapter: it\n"
    "shows the pack's state and its ten cell voltages live, writes the protection\n"
    "and identity settings and replaces the BMS firmware from an Intel HEX file.\n"
    "\n"
    "bmsctl does the same on the command line: pack information, live logging to\n"
    "CSV, settings backup, diff and restore with every write read back, firmware\n"
    "flashing and a service report in HTML, Markdown or JSON.\n"
    "\n"
    "bms_sim is a simulated BMS on a pseudo-terminal, for trying both without\n"
    "hardware.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries as dpkg-shlibdeps finds them in the binaries; the window draws its text in
# Liberation Sans, which no library pulls in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The service history's SQLite driver is a plugin, which dpkg-shlibdeps cannot see;
# the PostgreSQL one only for a shop's shared server.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "fonts-liberation, libqt${QT_VERSION_MAJOR}sql${QT_VERSION_MAJOR}-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt${QT_VERSION_MAJOR}sql${QT_VERSION_MAJOR}-psql")
set(CPACK_STRIP_FILES ON)
# Independent of the umask of whoever builds the package.
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
