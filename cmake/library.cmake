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
    tarvik_record_layer(${name} ${ARG_FOLDERS})
endfunction()

# Each library's folders and links, for the layer check (scripts/layers.py):
# Qt's include root is on every path, so a Qt header of a module the library
# does not link (<QWidget> in a model file) would build; the check refuses it.
function(tarvik_record_layer name)
    set_property(GLOBAL APPEND PROPERTY tarvik_layers ${name})
    set_target_properties(${name} PROPERTIES TARVIK_FOLDERS "${ARGN}")
endfunction()

# Writes what tarvik_library recorded, with where each Qt module's headers are,
# to layers.json in the build folder.
function(tarvik_write_layers)
    get_property(names GLOBAL PROPERTY tarvik_layers)
    set(libraries)
    foreach(name IN LISTS names)
        set(entry)
        foreach(property TARVIK_FOLDERS INTERFACE_LINK_LIBRARIES LINK_LIBRARIES)
            get_target_property(values ${name} ${property})
            if(NOT values)
                set(values)
            endif()
            list(JOIN values "\", \"" values)
            list(APPEND entry "\"${property}\": [\"${values}\"]")
        endforeach()
        list(JOIN entry ", " entry)
        list(APPEND libraries "\"${name}\": {${entry}}")
    endforeach()
    set(modules)
    foreach(module Core Gui Widgets Network Test)
        get_target_property(dirs Qt6::${module} INTERFACE_INCLUDE_DIRECTORIES)
        list(FILTER dirs INCLUDE REGEX "/Qt${module}$")
        list(APPEND modules "\"Qt6::${module}\": \"${dirs}\"")
    endforeach()
    list(JOIN libraries ",\n  " libraries)
    list(JOIN modules ",\n  " modules)
    file(WRITE ${PROJECT_BINARY_DIR}/layers.json "{\"source\": \"${PROJECT_SOURCE_DIR}\",\n \
\"qt\": {\n  ${modules}\n },\n \"libraries\": {\n  ${libraries}\n }\n}\n")
endfunction()
