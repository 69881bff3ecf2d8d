# k417t_add_test(<name> SOURCES <files...> [LIBS <targets...>] [LABELS <labels...>] [PLUGIN])
# One GoogleTest executable registered with CTest. PLUGIN: the test loads
# k417t.so with dlopen, so the host runtime is linked whole and exported.
# concurrency_tests: every test executable labelled "concurrency" (the
# ThreadSanitizer run builds only these).
add_custom_target(concurrency_tests)

function(k417t_add_test name)
  cmake_parse_arguments(T "PLUGIN" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(${name} PRIVATE ${T_LIBS} k417t_test_support qmx_iface GTest::gtest GTest::gmock GTest::gtest_main
                        Threads::Threads)
  if(T_PLUGIN)
    set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
    target_link_libraries(${name} PRIVATE "$<LINK_LIBRARY:WHOLE_ARCHIVE,qmx_host>" ${CMAKE_DL_LIBS})
    add_dependencies(${name} k417t)
    target_compile_definitions(${name} PRIVATE K417T_PLUGIN_PATH="$<TARGET_FILE:k417t>")
  endif()
  # One label per test (gtest_discover_tests cannot carry a list): "unit"
  # unless the caller names another, such as "concurrency" or "e2e".
  set(labels unit)
  if(T_LABELS)
    list(GET T_LABELS 0 labels)
  endif()
  if(labels STREQUAL "concurrency")
    add_dependencies(concurrency_tests ${name})
  endif()
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES LABELS "${labels}")
endfunction()
