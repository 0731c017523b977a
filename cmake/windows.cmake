# What a Windows build needs beyond its sources: MinGW's C++ runtime, which the
# program and the tests load, and, cross-built, a way to run them on this host.

# The runtime DLLs, from wherever this compiler keeps them.
set(tarvik_runtime_dlls)
foreach(dll libstdc++-6.dll libgcc_s_seh-1.dll libwinpthread-1.dll)
    execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
    if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
        message(FATAL_ERROR "${CMAKE_CXX_COMPILER} does not know where ${dll} is")
    endif()
    list(APPEND tarvik_runtime_dlls ${path})
endforeach()

# ctest runs the tests under Wine, in a prefix of this build's own
# (scripts/windows.sh makes it), finding Qt's and the runtime's DLLs where
# they lie.
if(CMAKE_CROSSCOMPILING AND NOT CMAKE_CROSSCOMPILING_EMULATOR)
    find_program(TARVIK_WINE NAMES wine64 wine PATHS /usr/lib/wine REQUIRED)
    set(wine_dirs ${QT6_INSTALL_PREFIX}/${QT6_INSTALL_BINS})
    foreach(dll IN LISTS tarvik_runtime_dlls)
        get_filename_component(dir ${dll} DIRECTORY)
        get_filename_component(dir ${dir} REALPATH)
        list(APPEND wine_dirs ${dir})
    endforeach()
    list(REMOVE_DUPLICATES wine_dirs)
    list(TRANSFORM wine_dirs PREPEND "Z:")
    list(JOIN wine_dirs ";" wine_path)
    set(wine_prefix ${PROJECT_BINARY_DIR}/wine)
    # Qt's offscreen platform on Windows reads fonts from one folder of its
    # own: give it this host's fonts the window uses, as Linux's offscreen
    # runs see them.
    set(wine_fonts ${PROJECT_BINARY_DIR}/fonts)
    file(MAKE_DIRECTORY ${wine_fonts})
    file(GLOB host_fonts /usr/share/fonts/truetype/liberation2/*.ttf
        /usr/share/fonts/truetype/dejavu/*.ttf)
    foreach(font IN LISTS host_fonts)
        get_filename_component(font_name ${font} NAME)
        file(CREATE_LINK ${font} ${wine_fonts}/${font_name} SYMBOLIC)
    endforeach()
    configure_file(${CMAKE_CURRENT_LIST_DIR}/wine.sh.in ${PROJECT_BINARY_DIR}/wine.sh
        FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
            WORLD_READ WORLD_EXECUTE
        @ONLY)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_BINARY_DIR}/wine.sh)
endif()
