# pendra_test(name SOURCES ... LIBS ... [RESOURCE_LOCK lock]): one GoogleTest executable. Natively
# it runs with the sanitizers; for Windows it is built in both widths and registered only where
# Wine runs it. RESOURCE_LOCK keeps its tests from running beside others holding the same lock.
# A Windows one marks its own start, so that tools/wine-run --test (its runner for discovery and
# for every test) tells a program that Wine failed to start from one that ran.
function(pendra_test name)
    cmake_parse_arguments(ARG "" "RESOURCE_LOCK" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${ARG_SOURCES})
    if(WIN32)
        target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/StartMarker.cpp)
    endif()
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
        set_target_properties(${name} PROPERTIES CROSSCOMPILING_EMULATOR
            "${PROJECT_SOURCE_DIR}/tools/wine-run;--test;${PENDRA_WINEPREFIX}")
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 120
            PROPERTIES FIXTURES_REQUIRED wine ${properties})
    endif()
endfunction()

# pendra_python_tests(label FILE file CLASS class LOCKS ... ENVIRONMENT ...): one ctest test per
# test method of a Python black-box test file that runs the Windows programs under Wine. They
# share the prefix's registry and their test hosts, so each holds its locks.
function(pendra_python_tests label)
    cmake_parse_arguments(ARG "" "FILE;CLASS" "LOCKS;ENVIRONMENT" ${ARGN})
    find_package(Python3 REQUIRED COMPONENTS Interpreter)
    file(STRINGS ${ARG_FILE} lines REGEX "^    def test_")
    foreach(line IN LISTS lines)
        string(REGEX REPLACE "^    def (test_[a-z0-9_]+).*" "\\1" name "${line}")
        add_test(NAME ${label}.${name}
            COMMAND ${Python3_EXECUTABLE} ${ARG_FILE} ${ARG_CLASS}.${name})
        set_tests_properties(${label}.${name} PROPERTIES
            FIXTURES_REQUIRED wine
            RESOURCE_LOCK "${ARG_LOCKS}"
            TIMEOUT 120
            ENVIRONMENT "PENDRA_WINEPREFIX=${PENDRA_WINEPREFIX};${ARG_ENVIRONMENT}"
            # unittest's own summary of a skipped test only: a failure's message may well
            # contain the word (a GoogleTest report read back, for one).
            SKIP_REGULAR_EXPRESSION "OK \\(skipped=")
    endforeach()
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${ARG_FILE})
endfunction()
