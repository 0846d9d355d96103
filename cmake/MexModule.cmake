# add_mex_module(<name> [LIBRARIES <lib>...] [SOURCES <extra source>...] [NARROWER <path>...])
#
# Builds <name>/<name>.cpp into <name>.mexa64 against the stand-in host, and,
# when Octave's mkoctfile is present, into octave/<name>.mex with exactly the
# command a user runs from the source root. The module joins the global list
# MEX_MODULES, from which tests/ registers tests/<name>_test.cpp, its export
# check and its Octave suite tests/octave/<name>_tests.m.
#
# Each NARROWER path (scalar, avx2) builds the same source once more, into
# <name>_<path>.mexa64, with WIDEST_VECTOR_BITS capping the widest vector
# worker the module may choose (0 or 256 bits), so that the tests can prove
# every narrower path on a machine that would pick a wider one. The targets
# join the global list MEX_NARROWER_MODULES.
find_program(MKOCTFILE mkoctfile)
set(MEXA64_DIR ${CMAKE_BINARY_DIR}/mexa64)
set(OCTAVE_MEX_DIR ${CMAKE_BINARY_DIR}/octave)
set(MEX_VERSION_SCRIPT ${CMAKE_SOURCE_DIR}/host/mexFunction.map)

# What mkoctfile compiles with, here and wherever else a module is built for Octave.
set(MEX_OCTAVE_CXXFLAGS "-O2 -ffp-contract=off -Wall -Wextra -Werror -std=c++17")

# The headers a module's Octave build depends on beyond its own source.
file(GLOB KERNEL_HEADERS ${CMAKE_SOURCE_DIR}/host/*.h ${CMAKE_SOURCE_DIR}/pgkernel/*.h)

set(MEX_PATH_BITS_scalar 0)
set(MEX_PATH_BITS_avx2 256)

# One .mexa64 from a module's source, linked against the stand-in host.
function(add_standin_module target source libraries)
    add_library(${target} MODULE ${source})
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        SUFFIX ".mexa64"
        LIBRARY_OUTPUT_DIRECTORY ${MEXA64_DIR}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LINK_DEPENDS ${MEX_VERSION_SCRIPT})
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR}/host ${CMAKE_SOURCE_DIR}/pgkernel)
    # The host loads modules into a process with its own C++ runtime, so a
    # module must not need libstdc++: --as-needed drops it when unused, and
    # the export test proves it stays unused.
    target_link_options(${target} PRIVATE
        -Wl,--version-script=${MEX_VERSION_SCRIPT} -Wl,--as-needed -Wl,--no-undefined)
    target_link_libraries(${target} PRIVATE ${libraries} mx mex m Threads::Threads)
endfunction()

function(add_mex_module name)
    cmake_parse_arguments(MODULE "" "" "LIBRARIES;SOURCES;NARROWER" ${ARGN})
    set_property(GLOBAL APPEND PROPERTY MEX_MODULES ${name})
    set(source ${CMAKE_SOURCE_DIR}/${name}/${name}.cpp)

    add_standin_module(${name} ${source} "${MODULE_LIBRARIES}")
    foreach(path ${MODULE_NARROWER})
        if(NOT DEFINED MEX_PATH_BITS_${path})
            message(FATAL_ERROR "${name}: no vector path called ${path}")
        endif()
        add_standin_module(${name}_${path} ${source} "${MODULE_LIBRARIES}")
        target_compile_definitions(${name}_${path} PRIVATE
                                   WIDEST_VECTOR_BITS=${MEX_PATH_BITS_${path}})
        set_property(GLOBAL APPEND PROPERTY MEX_NARROWER_MODULES ${name}_${path})
    endforeach()

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
                    "CXXFLAGS=${MEX_OCTAVE_CXXFLAGS}"
                    ${MKOCTFILE} --mex -I${CMAKE_SOURCE_DIR}/host -I${CMAKE_SOURCE_DIR}/lambertw
                    -I${CMAKE_SOURCE_DIR}/pgkernel
                    ${octave_sources} -o ${mexfile}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different
                    ${CMAKE_SOURCE_DIR}/${name}/${name}.m ${OCTAVE_MEX_DIR}/${name}.m
            DEPENDS ${octave_sources} ${CMAKE_SOURCE_DIR}/${name}/${name}.m
                    ${CMAKE_SOURCE_DIR}/host/gatewaychecks.h ${CMAKE_SOURCE_DIR}/lambertw/LambertW.h
                    ${KERNEL_HEADERS}
            WORKING_DIRECTORY ${OCTAVE_MEX_DIR}
            COMMENT "Building ${name}.mex with mkoctfile"
            VERBATIM)
        add_custom_target(${name}_octave ALL DEPENDS ${mexfile})
    endif()
endfunction()
