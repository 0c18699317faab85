# pendra_test(name SOURCES ... LIBS ...): one GoogleTest executable. Natively it runs with the
# sanitizers; for Windows it is built in both widths and registered only where Wine runs it.
function(pendra_test name)
    cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main pendra_common)
    pendra_warnings(${name})
    target_compile_definitions(${name} PRIVATE
        PENDRA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" PENDRA_BINARY_DIR="${CMAKE_BINARY_DIR}")
    if(NOT WIN32)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
    elseif(PENDRA_RUN_WINDOWS_TESTS)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
            PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "WINEDEBUG=-all")
    endif()
endfunction()
