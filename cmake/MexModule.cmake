# add_mex_module(<name>)
#
# Builds module <name> of toolbox.txt: <name>/<name>.cpp, with each of its extra sources, into
# <name>.mexa64 against the stand-in host, and, when Octave's mkoctfile is present, into
# octave/<name>.mex with exactly the command a user runs from the source root. The module joins
# the global list MEX_MODULES, from which tests/ registers tests/<name>_test.cpp, its export check
# and its Octave suite tests/octave/<name>_tests.m.
#
# Each of its NARROWER paths (scalar, avx2) builds the same sources once more, into
# <name>_<path>.mexa64, with WIDEST_VECTOR_BITS capping the widest vector
# worker the module may choose (0 or 256 bits), so that the tests can prove
# every narrower path on a machine that would pick a wider one. The targets
# join the global list MEX_NARROWER_MODULES.
find_program(MKOCTFILE mkoctfile)
set(MEXA64_DIR ${CMAKE_BINARY_DIR}/mexa64)
set(OCTAVE_MEX_DIR ${CMAKE_BINARY_DIR}/octave)
set(MEX_VERSION_SCRIPT ${CMAKE_SOURCE_DIR}/host/mexFunction.map)

# What mkoctfile compiles with, here and wherever else a module is built for Octave: the flags
# a user's build takes, with this build's warnings.
set(MEX_OCTAVE_CXXFLAGS ${TOOLBOX_FLAGS} ${TOOLBOX_WARNINGS})
if(PGMEX_WERROR)
    list(APPEND MEX_OCTAVE_CXXFLAGS -Werror)
endif()
list(JOIN MEX_OCTAVE_CXXFLAGS " " MEX_OCTAVE_CXXFLAGS)
set(MEX_INCLUDE_FLAGS ${TOOLBOX_INCLUDE_DIRS})
list(TRANSFORM MEX_INCLUDE_FLAGS PREPEND -I)
# A new header in an include folder is seen at the next build, without configuring again.
set(MEX_HEADER_GLOBS ${TOOLBOX_INCLUDE_DIRS})
list(TRANSFORM MEX_HEADER_GLOBS APPEND /*.h)
file(GLOB MEX_HEADERS CONFIGURE_DEPENDS ${MEX_HEADER_GLOBS})

# One .mexa64 from a module's sources, linked against the stand-in host.
function(add_standin_module target sources)
    add_library(${target} MODULE ${sources})
    set_target_properties(${target} PROPERTIES
        PREFIX ""
        SUFFIX ".mexa64"
        LIBRARY_OUTPUT_DIRECTORY ${MEXA64_DIR}
        CXX_VISIBILITY_PRESET hidden
        VISIBILITY_INLINES_HIDDEN ON
        LINK_DEPENDS ${MEX_VERSION_SCRIPT})
    target_include_directories(${target} PRIVATE ${TOOLBOX_INCLUDE_DIRS})
    # The host loads modules into a process with its own C++ runtime, so a
    # module must not need libstdc++: --as-needed drops it when unused, and
    # the export test proves it stays unused.
    target_link_options(${target} PRIVATE
        -Wl,--version-script=${MEX_VERSION_SCRIPT} -Wl,--as-needed -Wl,--no-undefined)
    target_link_libraries(${target} PRIVATE mx mex m Threads::Threads)
endfunction()

function(add_mex_module name)
    set_property(GLOBAL APPEND PROPERTY MEX_MODULES ${name})
    list(TRANSFORM TOOLBOX_SOURCES_${name} PREPEND ${CMAKE_SOURCE_DIR}/ OUTPUT_VARIABLE sources)

    add_standin_module(${name} "${sources}")
    foreach(path ${TOOLBOX_NARROWER_${name}})
        add_standin_module(${name}_${path} "${sources}")
        target_compile_definitions(${name}_${path} PRIVATE
                                   WIDEST_VECTOR_BITS=${MEX_PATH_BITS_${path}})
        set_property(GLOBAL APPEND PROPERTY MEX_NARROWER_MODULES ${name}_${path})
    endforeach()

    if(MKOCTFILE)
        set(mexfile ${OCTAVE_MEX_DIR}/${name}.mex)
        file(MAKE_DIRECTORY ${OCTAVE_MEX_DIR})
        add_custom_command(
            OUTPUT ${mexfile}
            COMMAND ${CMAKE_COMMAND} -E env "CXXFLAGS=${MEX_OCTAVE_CXXFLAGS}"
                    ${MKOCTFILE} --mex ${MEX_INCLUDE_FLAGS} ${sources} -o ${mexfile}
            COMMAND ${CMAKE_COMMAND} -E copy_if_different
                    ${CMAKE_SOURCE_DIR}/${name}/${name}.m ${OCTAVE_MEX_DIR}/${name}.m
            DEPENDS ${sources} ${CMAKE_SOURCE_DIR}/${name}/${name}.m ${MEX_HEADERS}
                    ${TOOLBOX_LIST}
            WORKING_DIRECTORY ${OCTAVE_MEX_DIR}
            COMMENT "Building ${name}.mex with mkoctfile"
            VERBATIM)
        add_custom_target(${name}_octave ALL DEPENDS ${mexfile})
    endif()
endfunction()

# A plain M-code function of toolbox.txt beside the modules in octave/, so that the folder holds
# the whole toolbox.
function(add_toolbox_function name)
    set(file ${OCTAVE_MEX_DIR}/${name}.m)
    add_custom_command(
        OUTPUT ${file}
        COMMAND ${CMAKE_COMMAND} -E copy_if_different ${CMAKE_SOURCE_DIR}/${name}/${name}.m ${file}
        DEPENDS ${CMAKE_SOURCE_DIR}/${name}/${name}.m
        COMMENT "Copying ${name}.m"
        VERBATIM)
    add_custom_target(${name}_function ALL DEPENDS ${file})
endfunction()
