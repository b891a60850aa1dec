# SPDX-License-Identifier: GPL-3.0-or-later
# What `cmake --install` puts on a system and the Debian package CPack makes of it
# (`cmake --build BUILD --target package` in a Release build).
#
# A build whose hosts are the bundled local ad network and score board (the default,
# 127.0.0.1:8765) installs that service too, and `tamboro` on the PATH is a launcher that
# starts it beside the game; the game itself goes to libexec/tamboro/. A build pointed at
# real hosts installs the game alone as `tamboro`. Either way the program a player runs is
# in games/, where Debian keeps games (/usr/games is on every user's PATH).

include(GNUInstallDirs)
set(TAMBORO_PLAYER_DIR games)
# Directories made by the installation are 0755 whatever the builder's umask.
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# The bundled service is wanted when any host is on loopback; one service serves them all,
# so they must share its port.
set(TAMBORO_LOCAL_SERVICE_PORT "")
foreach(host IN ITEMS "${TAMBORO_AD_HOST}" "${TAMBORO_AD_WEB_HOST}" "${TAMBORO_SCORE_HOST}")
    if(host MATCHES "^(127\\.0\\.0\\.1|localhost)(:([0-9]+))?$")
        set(port 80)
        if(CMAKE_MATCH_3)
            set(port ${CMAKE_MATCH_3})
        endif()
        if(TAMBORO_LOCAL_SERVICE_PORT AND NOT TAMBORO_LOCAL_SERVICE_PORT EQUAL port)
            message(FATAL_ERROR "The hosts on 127.0.0.1 name ports ${TAMBORO_LOCAL_SERVICE_PORT} and "
                                "${port}; the bundled local service listens on one port only.")
        endif()
        set(TAMBORO_LOCAL_SERVICE_PORT ${port})
    endif()
endforeach()

# The packages the installed game needs, shared with tools/install-deps.sh. Lines marked
# "[local-service]" count only when the service is bundled; lines marked "[linked]" are
# the libraries the game links to, which dpkg-shlibdeps finds (with their versions) for the
# package's Depends, so only the others are listed by hand.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/runtime-packages.txt runtime_lines)
set(TAMBORO_RUNTIME_PACKAGES "")
foreach(line IN LISTS runtime_lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line MATCHES "^([^ ]+)( +\\[(local-service|linked)\\])?$")
        if(CMAKE_MATCH_3 STREQUAL "linked")
            continue()
        endif()
        if(NOT CMAKE_MATCH_3 OR TAMBORO_LOCAL_SERVICE_PORT)
            list(APPEND TAMBORO_RUNTIME_PACKAGES ${CMAKE_MATCH_1})
        endif()
    elseif(line)
        message(FATAL_ERROR "packaging/runtime-packages.txt: cannot read \"${line}\"")
    endif()
endforeach()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/runtime-packages.txt)

set(TAMBORO_APP_ID net.kelto.tamboro)
set(TAMBORO_SHARE_DIR ${CMAKE_INSTALL_DATADIR}/tamboro)

if(TAMBORO_LOCAL_SERVICE_PORT)
    set(TAMBORO_GAME_DIR ${CMAKE_INSTALL_LIBEXECDIR}/tamboro)
    install(TARGETS tamboro RUNTIME DESTINATION ${TAMBORO_GAME_DIR})
    install(PROGRAMS tools/adnet.py DESTINATION ${TAMBORO_GAME_DIR})
    install(FILES tools/adnet_pages.py tools/adnet_store.py DESTINATION ${TAMBORO_GAME_DIR})
    install(DIRECTORY tools/static/ DESTINATION ${TAMBORO_SHARE_DIR}/static)

    file(RELATIVE_PATH LAUNCHER_TO_GAME /${TAMBORO_PLAYER_DIR} /${TAMBORO_GAME_DIR}/tamboro)
    file(RELATIVE_PATH LAUNCHER_TO_SERVICE /${TAMBORO_PLAYER_DIR} /${TAMBORO_GAME_DIR}/adnet.py)
    file(RELATIVE_PATH LAUNCHER_TO_STATIC /${TAMBORO_PLAYER_DIR} /${TAMBORO_SHARE_DIR}/static)
    configure_file(tools/tamboro-launcher.in ${PROJECT_BINARY_DIR}/launcher/tamboro @ONLY)
    install(PROGRAMS ${PROJECT_BINARY_DIR}/launcher/tamboro DESTINATION ${TAMBORO_PLAYER_DIR})
else()
    install(TARGETS tamboro RUNTIME DESTINATION ${TAMBORO_PLAYER_DIR})
endif()

install(FILES desktop/tamboro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES art/icons/tamboro-256.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME tamboro.png)
install(FILES art/icons/tamboro-64.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME tamboro.png)
install(FILES art/icon.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME tamboro.svg)

# The one version (the project's) and its release date, for the software centre, the Debian
# changelog and the manual page.
set(TAMBORO_RELEASE_DATE 2026-12-08)
set(TAMBORO_MAINTAINER "Kelto <games@kelto.example.net>")
execute_process(COMMAND env LC_ALL=C date -u -R -d "${TAMBORO_RELEASE_DATE} 12:00:00 UTC"
                OUTPUT_VARIABLE TAMBORO_RELEASE_TIME OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)

# What Debian wants beside the program: the licences of every file (a machine-readable
# copyright), a changelog and the manual page, the last two compressed as Debian does
# (gzip -9n: the same bytes on every build).
set(TAMBORO_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/tamboro)
configure_file(packaging/changelog.in ${PROJECT_BINARY_DIR}/packaging/changelog @ONLY)
# The manual tells of the local service only where the build bundles it.
set(TAMBORO_MAN_SERVICE "")
set(TAMBORO_MAN_SERVICE_FILES "")
set(TAMBORO_MAN_AFRESH "")
if(TAMBORO_LOCAL_SERVICE_PORT)
    file(READ ${PROJECT_SOURCE_DIR}/packaging/tamboro-service.6.in TAMBORO_MAN_SERVICE)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/tamboro-service.6.in)
    string(CONFIGURE "${TAMBORO_MAN_SERVICE}" TAMBORO_MAN_SERVICE @ONLY)
    set(TAMBORO_MAN_SERVICE_FILES ".TP\n.I $XDG_DATA_HOME/tamboro-local-service/\nthe local score board's accounts and uploads.\n")
    set(TAMBORO_MAN_AFRESH ", the local score board's accounts")
endif()
configure_file(packaging/tamboro.6.in ${PROJECT_BINARY_DIR}/packaging/tamboro.6 @ONLY)
set(compressed "")
foreach(name IN ITEMS changelog tamboro.6)
    set(plain ${PROJECT_BINARY_DIR}/packaging/${name})
    add_custom_command(OUTPUT ${plain}.gz COMMAND gzip -9nkf ${plain} DEPENDS ${plain} VERBATIM)
    list(APPEND compressed ${plain}.gz)
endforeach()
add_custom_target(tamboro_docs ALL DEPENDS ${compressed})
install(FILES packaging/copyright ${PROJECT_BINARY_DIR}/packaging/changelog.gz DESTINATION ${TAMBORO_DOC_DIR})
install(FILES ${PROJECT_BINARY_DIR}/packaging/tamboro.6.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man6)

# The software centre's page: the README's screenshots, published under this address.
set(TAMBORO_SCREENSHOT_URL "https://kelto.example.net/tamboro/screenshots" CACHE STRING
    "Where the README's screenshots (docs/screenshots/*.png) are published, for the AppStream metainfo")
configure_file(desktop/tamboro.metainfo.xml.in ${PROJECT_BINARY_DIR}/desktop/${TAMBORO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/desktop/${TAMBORO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamboro)
set(CPACK_PACKAGE_VENDOR Kelto)
set(CPACK_PACKAGE_CONTACT "${TAMBORO_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "arcade game: tap the monkeys before they hide")
set(CPACK_PACKAGE_DESCRIPTION "Monkeys pop up in eight holes: tap them before they hide. The ten best\n\
scores are kept on this computer and the best one can be uploaded to a web\n\
score board. The game shows ads between games.")
if(TAMBORO_LOCAL_SERVICE_PORT)
    string(APPEND CPACK_PACKAGE_DESCRIPTION "\nIt comes with a local ad network and score board that run while it\n\
is played.")
endif()
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the game links to are found by dpkg-shlibdeps; the list below adds what it
# cannot see (modules and plugins loaded at run time, fonts, the service's interpreter).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS ${TAMBORO_RUNTIME_PACKAGES})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland) # native on a Wayland desktop: sharp at any display scale
include(CPack)
