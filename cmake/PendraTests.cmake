# pendra_test(name SOURCES ... LIBS ... [RESOURCE_LOCK lock]): one GoogleTest executable. Natively
# it runs with the sanitizers; for Windows it is built in both widths and registered only where
# Wine runs it. RESOURCE_LOCK keeps its tests from running beside others holding the same lock.
function(pendra_test name)
    cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest_main pendra_common)
    pendra_warnings(${name})
    target_compile_definitions(${name} PRIVATE
        PENDRA_SOURCE_DIR="${PROJECT_SOURCE_DIR}" PENDRA_BINARY_DIR="${CMAKE_BINARY_DIR}")
    set(properties)
    if(ARG_RESOURCE_LOCK)
        list(APPEND properties RESOURCE_LOCK ${ARG_RESOURCE_LOCK})
    endif()
    if(NOT WIN32)
        if(properties)
            gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30 PROPERTIES ${properties})
        else()
            gtest_discover_tests(${name} DISCOVERY_TIMEOUT 30)
        endif()
    elseif(PENDRA_RUN_WINDOWS_TESTS)
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
            PROPERTIES FIXTURES_REQUIRED wine ENVIRONMENT "WINEDEBUG=-all" ${properties})
    endif()
endfunction()
