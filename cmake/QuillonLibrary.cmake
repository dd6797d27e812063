# quillon_library(NAME <name> SUBSYSTEMS <folders...> [LINKS <targets...>])
#
# Builds one deliverable from the sources of its subsystem folders: an object
# library compiled once, the shared library that the program loads, and a
# static archive of the same objects that the tests link (so they can reach
# classes the shared library keeps hidden).
function(quillon_library)
  cmake_parse_arguments(QL "" "NAME" "SUBSYSTEMS;LINKS;STATIC_LINKS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS QL_SUBSYSTEMS)
    file(GLOB dirSources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${dirSources})
  endforeach()
  string(TOUPPER ${QL_NAME} upper)
  add_library(${QL_NAME}_obj OBJECT ${sources})
  target_include_directories(${QL_NAME}_obj PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/include
    ${CMAKE_CURRENT_BINARY_DIR}/include
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
  target_compile_definitions(${QL_NAME}_obj PRIVATE ${QL_NAME}_EXPORTS)
  target_link_libraries(${QL_NAME}_obj PUBLIC ${QL_LINKS} Threads::Threads)
  generate_export_header(${QL_NAME}_obj BASE_NAME ${upper}
    EXPORT_MACRO_NAME ${upper}_API
    EXPORT_FILE_NAME ${CMAKE_CURRENT_BINARY_DIR}/include/${QL_NAME}/${QL_NAME}_export.h)

  add_library(${QL_NAME} SHARED $<TARGET_OBJECTS:${QL_NAME}_obj>)
  target_include_directories(${QL_NAME} PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_BINARY_DIR}/include)
  target_link_libraries(${QL_NAME} PUBLIC ${QL_LINKS} Threads::Threads)

  add_library(${QL_NAME}_static STATIC $<TARGET_OBJECTS:${QL_NAME}_obj>)
  target_include_directories(${QL_NAME}_static PUBLIC
    ${CMAKE_CURRENT_SOURCE_DIR}/include ${CMAKE_CURRENT_BINARY_DIR}/include
    ${CMAKE_CURRENT_SOURCE_DIR})
  target_link_libraries(${QL_NAME}_static PUBLIC ${QL_STATIC_LINKS} Threads::Threads)
endfunction()

# quillon_tests(LIBRARY <static target>): one test program per *Test.cpp of the
# calling tests/ folder.
function(quillon_tests)
  cmake_parse_arguments(QT "" "LIBRARY" "EXTRA" ${ARGN})
  file(GLOB testSources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Test.cpp)
  foreach(src IN LISTS testSources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${QT_LIBRARY} ${QT_EXTRA} GTest::gtest GTest::gtest_main GTest::gmock)
    target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support)
    target_compile_definitions(${name} PRIVATE
      QUILLON_TEST_DATA="${CMAKE_CURRENT_SOURCE_DIR}/data"
      QUILLON_BIN_DIR="${CMAKE_BINARY_DIR}/bin")
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
  endforeach()
endfunction()

# quillon_fuzzers(LIBRARY <static target>): one libFuzzer program per *Fuzz.cpp of the
# calling fuzz/ folder, linked with the instrumented objects of the library and added
# to the target quillon_fuzz. The seed corpus of FooBarFuzz is corpus/foobar/; an
# optional FooBarFuzz.dict beside the source is its dictionary (scripts/run-fuzz runs
# them).
function(quillon_fuzzers)
  cmake_parse_arguments(QF "" "LIBRARY" "" ${ARGN})
  file(GLOB fuzzSources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*Fuzz.cpp)
  foreach(src IN LISTS fuzzSources)
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ${QF_LIBRARY})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    add_dependencies(quillon_fuzz ${name})
  endforeach()
endfunction()
