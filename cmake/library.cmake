# tarvik_library(NAME FOLDERS folder... SOURCES file... [PUBLIC lib...] [PRIVATE lib...])
#
# A static library made of the sources of its folders. Its users, and its own
# sources, see the headers of those folders and of the libraries it links,
# and no others: each library gets an include tree of its own under the build
# folder that links just its folders, so a file that includes a header of a
# library it may not use fails to build, as a missing link would not show.
function(tarvik_library name)
    cmake_parse_arguments(ARG "" "" "FOLDERS;SOURCES;PUBLIC;PRIVATE" ${ARGN})
    add_library(${name} STATIC ${ARG_SOURCES})
    set(tree ${PROJECT_BINARY_DIR}/include/${name})
    foreach(folder IN LISTS ARG_FOLDERS)
        get_filename_component(parent ${tree}/${folder} DIRECTORY)
        file(MAKE_DIRECTORY ${parent})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${tree}/${folder} SYMBOLIC)
    endforeach()
    target_include_directories(${name} PUBLIC ${tree})
    target_link_libraries(${name} PUBLIC ${ARG_PUBLIC} PRIVATE ${ARG_PRIVATE})
endfunction()
