# Build conventions shared by every target of the project.

set(FLEET_WARNINGS -Wall -Wextra -Werror -Wno-unused-parameter -Wconditionally-supported)

if(FLEET_SANITIZE)
    add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    add_link_options(-fsanitize=address,undefined)
endif()

# The fuzz build (clang): every object is instrumented for coverage and checked by the
# sanitizers; clang's warnings differ, so they are not errors there.
if(FLEET_FUZZ)
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
    set(FLEET_WARNINGS -Wall -Wextra -Wno-unused-parameter)
endif()

# Our own code is built with warnings as errors.
function(fleet_own_code target)
    target_compile_options(${target} PRIVATE ${FLEET_WARNINGS})
endfunction()

# Outputs keep their Windows names so that a package folder looks the same on both platforms.
# VERSION a.b.c.d gives the output a file version of its own (default: the project's).
function(fleet_windows_name target)
    cmake_parse_arguments(ARG "" "VERSION" "" ${ARGN})
    set(PROJECT_VERSION_NOTE ${PROJECT_VERSION})
    if(ARG_VERSION)
        set(PROJECT_VERSION_NOTE ${ARG_VERSION})
    endif()
    get_target_property(kind ${target} TYPE)
    if(kind STREQUAL "SHARED_LIBRARY" OR kind STREQUAL "MODULE_LIBRARY")
        set_target_properties(${target} PROPERTIES PREFIX "" SUFFIX ".dll")
    elseif(kind STREQUAL "EXECUTABLE")
        set_target_properties(${target} PROPERTIES SUFFIX ".exe")
    endif()
    # The version note that GetFileVersionInfoW reads (VFT_DLL 2, VFT_APP 1).
    if(kind STREQUAL "EXECUTABLE")
        set(FLEET_VERSION_FILE_TYPE 1)
    else()
        set(FLEET_VERSION_FILE_TYPE 2)
    endif()
    set(note ${PROJECT_BINARY_DIR}/version/FleetVersion${FLEET_VERSION_FILE_TYPE}-${PROJECT_VERSION_NOTE}.cpp)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/FleetVersion.cpp.in ${note} @ONLY)
    target_sources(${target} PRIVATE ${note})
    set_target_properties(${target} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin
        LIBRARY_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin
        # The libraries of the build beside it are found through its own folder: a program
        # copied to a server finds those beside it, never the build's, and its start does not
        # search two folders.
        BUILD_RPATH_USE_ORIGIN ON
        BUILD_RPATH "$ORIGIN")
endfunction()

# One GoogleTest executable per folder, registered test by test with CTest.
# TIMEOUT seconds: the limit of each test (default 300), for suites that deploy to whole fleets;
# LONG: its tests start before the others, so that they run beside the short ones instead of
# after them.
function(fleet_test_suite name)
    cmake_parse_arguments(ARG "LONG" "TIMEOUT" "" ${ARGN})
    if(NOT ARG_TIMEOUT)
        set(ARG_TIMEOUT 300)
    endif()
    set(cost 0)
    if(ARG_LONG)
        set(cost 1000)
    endif()
    set(FLEET_VERSION_FILE_TYPE 1)
    set(PROJECT_VERSION_NOTE ${PROJECT_VERSION})
    set(note ${PROJECT_BINARY_DIR}/version/FleetVersion1-${PROJECT_VERSION}.cpp)
    configure_file(${PROJECT_SOURCE_DIR}/cmake/FleetVersion.cpp.in ${note} @ONLY)
    add_executable(${name} ${ARG_UNPARSED_ARGUMENTS} ${note})
    fleet_own_code(${name})
    target_link_libraries(${name} PRIVATE fleetkit fleet_testmain fleet_testsupport GTest::gtest GTest::gmock)
    set_target_properties(${name} PROPERTIES
        RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}/bin
        BUILD_RPATH "${PROJECT_BINARY_DIR}/bin")
    add_dependencies(${name} machined) # makes the default workstation of a run
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT} COST ${cost})
endfunction()
