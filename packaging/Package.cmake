# What `cmake --install` puts on a system and the Debian package CPack makes of it
# (`cmake --build BUILD --target package` in a Release build).
#
# A build whose hosts are the bundled local ad network and score board (the default,
# 127.0.0.1:8765) installs that service too, and `tamboro` on the PATH is a launcher that
# starts it beside the game; the game itself goes to libexec/tamboro/. A build pointed at
# real hosts installs the game alone as `tamboro`.

include(GNUInstallDirs)

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
# "[local-service]" count only when the service is bundled.
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/runtime-packages.txt runtime_lines)
set(TAMBORO_RUNTIME_PACKAGES "")
foreach(line IN LISTS runtime_lines)
    string(REGEX REPLACE "#.*" "" line "${line}")
    string(STRIP "${line}" line)
    if(line MATCHES "^([^ ]+)( +\\[local-service\\])?$")
        if(NOT CMAKE_MATCH_2 OR TAMBORO_LOCAL_SERVICE_PORT)
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

    file(RELATIVE_PATH LAUNCHER_TO_GAME /${CMAKE_INSTALL_BINDIR} /${TAMBORO_GAME_DIR}/tamboro)
    file(RELATIVE_PATH LAUNCHER_TO_SERVICE /${CMAKE_INSTALL_BINDIR} /${TAMBORO_GAME_DIR}/adnet.py)
    file(RELATIVE_PATH LAUNCHER_TO_STATIC /${CMAKE_INSTALL_BINDIR} /${TAMBORO_SHARE_DIR}/static)
    configure_file(tools/tamboro-launcher.in ${PROJECT_BINARY_DIR}/launcher/tamboro @ONLY)
    install(PROGRAMS ${PROJECT_BINARY_DIR}/launcher/tamboro DESTINATION ${CMAKE_INSTALL_BINDIR})
else()
    install(TARGETS tamboro RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(FILES desktop/tamboro.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES art/icons/tamboro-256.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/256x256/apps RENAME tamboro.png)
install(FILES art/icons/tamboro-64.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/64x64/apps RENAME tamboro.png)
install(FILES art/icon.svg DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps RENAME tamboro.svg)

# The software centre's page: the README's screenshots, published under this address.
set(TAMBORO_SCREENSHOT_URL "https://kelto.example.net/tamboro/screenshots" CACHE STRING
    "Where the README's screenshots (docs/screenshots/*.png) are published, for the AppStream metainfo")
configure_file(desktop/tamboro.metainfo.xml.in ${PROJECT_BINARY_DIR}/desktop/${TAMBORO_APP_ID}.metainfo.xml @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/desktop/${TAMBORO_APP_ID}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tamboro)
set(CPACK_PACKAGE_VENDOR Kelto)
set(CPACK_PACKAGE_CONTACT "Kelto <games@kelto.example.net>")
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
string(JOIN ", " CPACK_DEBIAN_PACKAGE_DEPENDS ${TAMBORO_RUNTIME_PACKAGES})
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS qt6-wayland) # native on a Wayland desktop: sharp at any display scale
include(CPack)
