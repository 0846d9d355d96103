# Lambert W tests: exact values and bounds, and the sweep against a __float128 reference
# (libquadmath).
add_executable(lambertw_tests
    ${CMAKE_CURRENT_LIST_DIR}/lambertw_values_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/lambertw_accuracy_test.cpp)
target_link_libraries(lambertw_tests PRIVATE lambertw GTest::gtest_main quadmath)
if(SANITIZE)
    target_sources(lambertw_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR}/sanitizer_options.cpp)
endif()
gtest_discover_tests(lambertw_tests TEST_PREFIX "lambertw/")
