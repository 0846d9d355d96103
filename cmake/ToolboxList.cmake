# Reads toolbox.txt at the source root (its format is described at its top) into:
#   TOOLBOX_MODULES              module names, in the list's order
#   TOOLBOX_SOURCES_<name>       NAME/NAME.cpp and its extra sources, relative to the source root
#   TOOLBOX_NARROWER_<name>      its narrower vector builds (scalar, avx2)
#   TOOLBOX_FUNCTIONS            names of the plain M-code functions
#   TOOLBOX_INCLUDE_DIRS         the include folders, absolute
#   TOOLBOX_FLAGS                what mkoctfile and mex compile with
#   TOOLBOX_WARNINGS             the warnings of the project's own builds
#   TOOLBOX_CXX_STANDARD         the standard that TOOLBOX_FLAGS names (17 for -std=c++17)
#   TOOLBOX_EXACT_FLAGS          TOOLBOX_FLAGS without the optimization level and the standard,
#                                which a CMake build takes from its build type and
#                                CMAKE_CXX_STANDARD, plus -fno-fast-math
# and MEX_PATH_BITS_<path>, the widest vector a narrower build may use.
# Included by the main project and by fuzz/, which is a project of its own.
get_filename_component(TOOLBOX_ROOT ${CMAKE_CURRENT_LIST_DIR}/.. ABSOLUTE)
set(TOOLBOX_LIST ${TOOLBOX_ROOT}/toolbox.txt)
# An edited list configures the build again, as an edited CMakeLists.txt does.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TOOLBOX_LIST})

set(MEX_PATH_BITS_scalar 0)
set(MEX_PATH_BITS_avx2 256)

set(TOOLBOX_MODULES)
set(TOOLBOX_FUNCTIONS)
set(TOOLBOX_INCLUDE_DIRS)
set(TOOLBOX_FLAGS)
set(TOOLBOX_WARNINGS)
set(toolbox_names)
file(STRINGS ${TOOLBOX_LIST} toolbox_lines)
foreach(line IN LISTS toolbox_lines)
    if(line MATCHES "^[ \t]*(#|$)")
        continue()
    endif()
    separate_arguments(words UNIX_COMMAND "${line}")
    list(POP_FRONT words kind)
    if(kind STREQUAL "module")
        list(POP_FRONT words name)
        cmake_parse_arguments(entry "" "" "SOURCES;NARROWER" ${words})
        if(entry_UNPARSED_ARGUMENTS OR NOT name OR name IN_LIST toolbox_names)
            message(FATAL_ERROR "toolbox.txt: cannot read \"${line}\"")
        endif()
        list(APPEND toolbox_names ${name})
        foreach(path ${entry_NARROWER})
            if(NOT DEFINED MEX_PATH_BITS_${path})
                message(FATAL_ERROR "toolbox.txt: ${name}: no vector path called ${path}")
            endif()
        endforeach()
        list(APPEND TOOLBOX_MODULES ${name})
        set(TOOLBOX_SOURCES_${name} ${name}/${name}.cpp ${entry_SOURCES})
        set(TOOLBOX_NARROWER_${name} ${entry_NARROWER})
    elseif(kind MATCHES "^(function|include)$" AND NOT words)
        message(FATAL_ERROR "toolbox.txt: cannot read \"${line}\"")
    elseif(kind STREQUAL "function")
        foreach(name ${words})
            if(name IN_LIST toolbox_names)
                message(FATAL_ERROR "toolbox.txt: ${name} is listed twice")
            endif()
            list(APPEND toolbox_names ${name})
        endforeach()
        list(APPEND TOOLBOX_FUNCTIONS ${words})
    elseif(kind STREQUAL "include")
        foreach(folder ${words})
            list(APPEND TOOLBOX_INCLUDE_DIRS ${TOOLBOX_ROOT}/${folder})
        endforeach()
    elseif(kind STREQUAL "flags")
        list(APPEND TOOLBOX_FLAGS ${words})
    elseif(kind STREQUAL "warnings")
        list(APPEND TOOLBOX_WARNINGS ${words})
    else()
        message(FATAL_ERROR "toolbox.txt: cannot read \"${line}\"")
    endif()
endforeach()

# Results must be bit-identical to the written operation order on every build: no contraction
# into fused multiply-add, no fast-math, no host-specific instruction sets.
if(NOT "-ffp-contract=off" IN_LIST TOOLBOX_FLAGS)
    message(FATAL_ERROR "toolbox.txt: the flags must keep -ffp-contract=off")
endif()
foreach(flag ${TOOLBOX_FLAGS} ${TOOLBOX_WARNINGS})
    if(flag MATCHES "^-(m|Ofast|ffast-math|funsafe-math)")
        message(FATAL_ERROR "toolbox.txt: ${flag} would change the modules' arithmetic")
    endif()
endforeach()

set(TOOLBOX_EXACT_FLAGS ${TOOLBOX_FLAGS})
list(FILTER TOOLBOX_EXACT_FLAGS EXCLUDE REGEX "^-(O|std=)")
list(APPEND TOOLBOX_EXACT_FLAGS -fno-fast-math)
set(TOOLBOX_CXX_STANDARD)
foreach(flag ${TOOLBOX_FLAGS})
    if(flag MATCHES "^-std=c\\+\\+([0-9]+)$")
        set(TOOLBOX_CXX_STANDARD ${CMAKE_MATCH_1})
    endif()
endforeach()
if(NOT TOOLBOX_CXX_STANDARD)
    message(FATAL_ERROR "toolbox.txt: the flags name no C++ standard (-std=c++NN)")
endif()
