# Installation as a desktop program, and a Debian package of it (cpack -G DEB).
if(WIN32)
    include(${CMAKE_CURRENT_LIST_DIR}/installWindows.cmake)
    return()
endif()
include(GNUInstallDirs)

set(tarvik_app_id org.tarvik.Tarvik)

# The 48 px icon is drawn by the program's own drawIcon(), so menus show what the window shows.
qt_add_executable(tarvik_write_icon tools/write_icon.cpp)
target_link_libraries(tarvik_write_icon PRIVATE tarvik_window)
set(tarvik_icon_png ${CMAKE_CURRENT_BINARY_DIR}/icon/48/${tarvik_app_id}.png)
add_custom_command(OUTPUT ${tarvik_icon_png}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/icon/48
    COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
            $<TARGET_FILE:tarvik_write_icon> 48 ${tarvik_icon_png}
    DEPENDS tarvik_write_icon
    COMMENT "Drawing the 48 px icon"
    VERBATIM)
add_custom_target(tarvik_icon ALL DEPENDS ${tarvik_icon_png})

install(TARGETS tarvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES dist/${tarvik_app_id}.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES dist/${tarvik_app_id}.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${tarvik_icon_png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/48x48/apps)
install(FILES dist/icon/${tarvik_app_id}.svg
    DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
install(FILES LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The package description is the README's first paragraph, so the two cannot drift apart;
# it is rewrapped to the 79 columns Debian control files expect.
file(READ ${CMAKE_CURRENT_SOURCE_DIR}/README.md tarvik_readme)
string(REGEX MATCH "\n\n([^#\n][^\n]*(\n[^\n]+)*)" tarvik_para "${tarvik_readme}")
string(REGEX REPLACE "[ \n]+" " " tarvik_para "${CMAKE_MATCH_1}")
string(STRIP "${tarvik_para}" tarvik_para)
if(tarvik_para STREQUAL "")
    message(FATAL_ERROR "README.md has no first paragraph for the package description")
endif()
set(tarvik_description "")
set(tarvik_line "")
string(REPLACE " " ";" tarvik_words "${tarvik_para}")
foreach(word IN LISTS tarvik_words)
    string(LENGTH "${tarvik_line} ${word}" length)
    if(tarvik_line STREQUAL "")
        set(tarvik_line "${word}")
    elseif(length GREATER 79)
        string(APPEND tarvik_description "${tarvik_line}\n")
        set(tarvik_line "${word}")
    else()
        string(APPEND tarvik_line " ${word}")
    endif()
endforeach()
string(APPEND tarvik_description "${tarvik_line}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tarvik)
set(CPACK_PACKAGE_VENDOR "The Tarvik developers")
set(CPACK_PACKAGE_CONTACT "The Tarvik developers <tarvik@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Send and receive TCP and UDP data by hand")
set(CPACK_PACKAGE_DESCRIPTION "${tarvik_description}")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
