# cmake --install lays out one toolbox folder, <prefix>/pgmex, ready for addpath: the
# compiled modules with each one's help file beside it (help finds a compiled function's
# text only in the same folder), the plain M-code functions, the demo with its likelihood
# series and its photograph (images/), build_mex.m and the licence; the modules and
# functions are those of toolbox.txt.
#
# Given -DMATLAB_ROOT=<matlabroot>, the modules are also built against that MATLAB
# with FindMatlab, into <build>/matlab, and those are the .mexa64 files installed;
# otherwise the .mexa64 files are the ones built against the stand-in host.
set(TOOLBOX_DESTINATION pgmex)
set(MATLAB_ROOT "" CACHE PATH "MATLAB installation to build the modules against (optional)")

get_property(toolbox_modules GLOBAL PROPERTY MEX_MODULES)
foreach(module ${toolbox_modules})
    install(FILES ${CMAKE_SOURCE_DIR}/${module}/${module}.m DESTINATION ${TOOLBOX_DESTINATION})
    if(MKOCTFILE)
        install(FILES ${OCTAVE_MEX_DIR}/${module}.mex DESTINATION ${TOOLBOX_DESTINATION})
    endif()
endforeach()
foreach(function ${TOOLBOX_FUNCTIONS})
    install(FILES ${CMAKE_SOURCE_DIR}/${function}/${function}.m DESTINATION ${TOOLBOX_DESTINATION})
endforeach()
install(FILES ${CMAKE_SOURCE_DIR}/examples/restore_demo.m
              ${CMAKE_SOURCE_DIR}/examples/likelihood_series.m ${CMAKE_SOURCE_DIR}/build_mex.m
              ${CMAKE_SOURCE_DIR}/COPYING
        DESTINATION ${TOOLBOX_DESTINATION})
install(FILES ${CMAKE_SOURCE_DIR}/examples/images/camera.png
              ${CMAKE_SOURCE_DIR}/examples/images/README.md
        DESTINATION ${TOOLBOX_DESTINATION}/images)

if(MATLAB_ROOT)
    set(Matlab_ROOT_DIR ${MATLAB_ROOT})
    find_package(Matlab REQUIRED COMPONENTS MX_LIBRARY)
    foreach(module ${toolbox_modules})
        list(TRANSFORM TOOLBOX_SOURCES_${module} PREPEND ${CMAKE_SOURCE_DIR}/
             OUTPUT_VARIABLE sources)
        matlab_add_mex(NAME ${module}_matlab MODULE OUTPUT_NAME ${module} SRC ${sources})
        # What mex -compatibleArrayDims defines: the 32-bit dimension entry points that
        # the modules are written against.
        target_compile_definitions(${module}_matlab PRIVATE MX_COMPAT_32)
        target_include_directories(${module}_matlab PRIVATE ${TOOLBOX_INCLUDE_DIRS})
        set_target_properties(${module}_matlab PROPERTIES
            LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/matlab)
        install(TARGETS ${module}_matlab LIBRARY DESTINATION ${TOOLBOX_DESTINATION})
    endforeach()
else()
    foreach(module ${toolbox_modules})
        install(TARGETS ${module} LIBRARY DESTINATION ${TOOLBOX_DESTINATION})
    endforeach()
endif()
