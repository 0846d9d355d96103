# add_mex_module(<name> [LIBRARIES <lib>...] [SOURCES <extra source>...])
#
# Builds <name>/<name>.cpp into <name>.mexa64 against the stand-in host, and,
# when Octave's mkoctfile is present, into octave/<name>.mex with exactly the
# command a user runs from the source root. The module joins the global list
# MEX_MODULES, from which tests/ registers tests/<name>_test.cpp, its export
# check and its Octave suite tests/octave/<name>_tests.m.
find_program(MKOCTFILE mkoctfile)
set(MEXA64_DIR ${CMAKE_BINARY_DIR}/mexa64)
set(OCTAVE_MEX_DIR ${CMAKE_BINARY_DIR}/octave)
set(MEX_VERSION_SCRIPT ${CMAKE_SOURCE_DIR}/host/mexFunction.map)

function(add_mex_module name)
    cmake_parse_arguments(MODULE "" "" "LIBRARIES;SOURCES" ${ARGN})
    set_property(GLOBAL APPEND PROPERTY MEX_MODULES ${name})
    set(source ${CMAKE_SOURCE_DIR}/${name}/${name}.cpp)

    add_library(${name} MODULE ${source})
    set_target_properties(${name} PROPERTIES
        PREFIX ""
        SUFFIX ".mexa64"
        LIBRARY_OUTPUT_DIRECTORY ${MEXA64_DIR}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LINK_DEPENDS ${MEX_VERSION_SCRIPT})
    target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/host)
    # The host loads modules into a process with its own C++ runtime, so a
    # module must not need libstdc++: --as-needed drops it when unused, and
    # the export test proves it stays unused.
    target_link_options(${name} PRIVATE
        -Wl,--version-script=${MEX_VERSION_SCRIPT} -Wl,--as-needed -Wl,--no-undefined)
    target_link_libraries(${name} PRIVATE ${MODULE_LIBRARIES} mx mex m Threads::Threads)

    if(MKOCTFILE)
        set(octave_sources ${source})
        foreach(extra ${MODULE_SOURCES})
            list(APPEND octave_sources ${CMAKE_SOURCE_DIR}/${extra})
        endforeach()
        set(mexfile ${OCTAVE_MEX_DIR}/${name}.mex)
        file(MAKE_DIRECTORY ${OCTAVE_MEX_DIR})
        add_custom_command(
            OUTPUT ${mexfile}
            COMMAND ${CMAKE_COMMAND} -E env
                    "CXXFLAGS=-O2 -ffp-contract=off -Wall -Wextra -Werror -std=c++17"
                    ${MKOCTFILE} --mex -I${CMAKE_SOURCE_DIR}/host -I${CMAKE_SOURCE_DIR}/lambertw
                    ${octave_sources} -o ${mexfile}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different
                    ${CMAKE_SOURCE_DIR}/${name}/${name}.m ${OCTAVE_MEX_DIR}/${name}.m
            DEPENDS ${octave_sources} ${CMAKE_SOURCE_DIR}/${name}/${name}.m
                    ${CMAKE_SOURCE_DIR}/host/gatewaychecks.h ${CMAKE_SOURCE_DIR}/lambertw/LambertW.h
            WORKING_DIRECTORY ${OCTAVE_MEX_DIR}
            COMMENT "Building ${name}.mex with mkoctfile"
            VERBATIM)
        add_custom_target(${name}_octave ALL DEPENDS ${mexfile})
    endif()
endfunction()
